// The Python module compact_csv._compact: the points of pcap and pcapng captures as numpy arrays
// that own the buffers the C++ side filled, and the summary of the last read. The work is done
// by readPoints (app/point_reader.h); this file only converts arguments, results and errors.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <cstddef>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "app/command_line.h"
#include "app/outputs.h"
#include "app/point_listener.h"
#include "app/point_reader.h"
#include "csv/points.h"
#include "format/parse_error.h"
#include "io/pcap_reader.h"
#include "net/ipv4_reassembly.h"
#include "net/link_layer.h"

namespace py = pybind11;

namespace {

// A column the C++ side filled, handed to numpy without a copy; the capsule frees it.
template <class T>
py::array_t<T> column(std::vector<T>&& values) {
    auto* owned = new std::vector<T>(std::move(values));
    py::capsule release(owned, [](void* p) { delete static_cast<std::vector<T>*>(p); });
    return py::array_t<T>(static_cast<py::ssize_t>(owned->size()), owned->data(), release);
}

// The summary of the last read in this thread: reads in other threads (a Dask worker's) keep
// their own.
thread_local std::optional<PointSummary> lastSummary;

// One filter argument as the command line's text: a string as it is, an integer in decimal, a
// number (angles) as Python writes it, or a pair (low, high) as "low:high"; None is no filter.
std::optional<std::string> filterText(py::handle value, const char* name, bool angle) {
    if (value.is_none()) return std::nullopt;
    if (py::isinstance<py::str>(value)) return value.cast<std::string>();
    if (py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value)) {
        const auto pair = py::reinterpret_borrow<py::sequence>(value);
        if (pair.size() == 2) {
            const auto low = filterText(pair[0], name, angle);
            const auto high = filterText(pair[1], name, angle);
            if (low && high) return *low + ":" + *high;
        }
    } else if (!py::isinstance<py::bool_>(value)) {
        if (PyIndex_Check(value.ptr())) {
            const auto number = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
            if (!number) throw py::error_already_set();
            return py::str(number).cast<std::string>();
        }
        if (angle && PyFloat_Check(value.ptr())) return py::repr(value).cast<std::string>();
    }
    throw py::type_error(std::string(name) + "=" + py::repr(value).cast<std::string>() +
                         ": expected a text such as \"" + (angle ? "-35:0.5" : "0:6") +
                         "\", a number or a pair of numbers");
}

// OSError for a capture that cannot be used, its text starting with the path.
[[noreturn]] void raiseCaptureError(const std::string& path, const std::string& text) {
    // libpcap names the file in some of its messages ("x.pcap: No such file or directory").
    const std::string message = text.starts_with(path + ":") ? text : path + ": " + text;
    PyErr_SetString(PyExc_OSError, message.c_str());
    throw py::error_already_set();
}

template <size_t N, typename Name>
py::dict byName(const std::array<uint64_t, N>& counts, Name name) {
    py::dict out;
    for (size_t i = 0; i < N; ++i) out[py::str(name(i))] = counts[i];
    return out;
}

py::dict summaryDict(const PointSummary& s) {
    py::dict out;
    out["points"] = s.points;
    out["telegrams"] = s.telegrams;
    out["lost"] = s.lost;
    out["counter_resets"] = s.counterResets;
    out["parse_errors"] = s.parseErrors;
    out["parse_errors_by_kind"] = byName(s.parseErrorsByKind, [](size_t i) {
        return parseErrorKindName(static_cast<ParseErrorKind>(i));
    });
    out["records"] = s.capture.records;
    out["datagrams_read"] = s.capture.delivered;
    out["filtered_out"] = s.capture.filteredOut;
    out["fragments_reassembled"] = s.reassembly.fragmentsReassembled;
    out["incomplete_dropped"] = s.reassembly.droppedTotal();
    out["incomplete_dropped_by_reason"] = byName(s.reassembly.dropped, [](size_t i) {
        return compact::dropReasonName(static_cast<compact::DropReason>(i));
    });
    out["records_skipped"] = s.capture.skippedTotal();
    out["records_skipped_by_reason"] = byName(s.capture.skipped, [](size_t i) {
        return compact::skipReasonName(static_cast<compact::SkipReason>(i));
    });
    out["read_error"] = s.readError.empty() ? py::none() : py::object(py::str(s.readError));
    return out;
}

// The filters of read() and listen() as the command line's texts.
PointArguments filterArguments(int port, const std::optional<std::string>& address,
                               py::handle segment, py::handle line, py::handle phi, py::handle beam,
                               py::handle theta, py::handle echo, py::handle phiTolerance) {
    PointArguments arguments;
    arguments.port = std::to_string(port);
    arguments.address = address;
    arguments.segment = filterText(segment, "segment", false);
    arguments.line = filterText(line, "line", false);
    arguments.phi = filterText(phi, "phi", true);
    arguments.beam = filterText(beam, "beam", false);
    arguments.theta = filterText(theta, "theta", true);
    arguments.echo = filterText(echo, "echo", false);
    if (const auto tolerance = filterText(phiTolerance, "phi_tolerance", true))
        arguments.phiTolerance = *tolerance;
    return arguments;
}

// The columns of points as a dict of arrays that own them.
py::dict columnsDict(compact::PointColumns& points) {
    py::dict out;
    points.visit([&](const char* name, auto& values) { out[name] = column(std::move(values)); });
    return out;
}

py::dict readCapture(const std::filesystem::path& file, int port,
                     const std::optional<std::string>& address, py::handle segment, py::handle line,
                     py::handle phi, py::handle beam, py::handle theta, py::handle echo,
                     py::handle phiTolerance) {
    // UsageError becomes ValueError with the command line's text.
    const PointOptions options = pointOptions(
        filterArguments(port, address, segment, line, phi, beam, theta, echo, phiTolerance));

    const std::string path = file.string();
    lastSummary.reset();
    // A file that cannot be opened raises the subclass of its errno (FileNotFoundError, ...),
    // with the path as its filename.
    if (FILE* probe = std::fopen(path.c_str(), "rb")) {
        std::fclose(probe);
    } else {
        PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
        throw py::error_already_set();
    }
    compact::PointColumns points;
    PointSummary summary;
    std::optional<std::string> openError;
    {
        py::gil_scoped_release unlocked;  // no Python inside
        try {
            points = readPoints(path, options.filters, options.capture, summary);
        } catch (const compact::CaptureError& error) {
            openError = error.what();
        }
    }
    if (openError) raiseCaptureError(path, *openError);
    lastSummary = summary;
    // A record refused in the middle of the file: the rest was not read, as the command line
    // ends such a conversion with an error.
    if (summary.readErrorBeforeEnd) raiseCaptureError(path, summary.readError);

    return columnsDict(points);
}

// The points of a live stream, one frame at a time, until Ctrl-C, close() or a time-out.
class Listener {
  public:
    Listener(const PointOptions& options, std::optional<double> timeoutSeconds)
        : timeout(timeoutSeconds) {
        SocketOptions socket;
        socket.port = options.capture.destinationPort.value_or(2115);
        socket.source = options.capture.sourceAddress;
        socket.groups = options.groups;
        socket.interfaceName = options.interfaceName;
        listener = std::make_unique<PointListener>(socket, options.filters, queueBytes);
        for (const std::string& warning : listener->warnings())
            if (PyErr_WarnEx(PyExc_RuntimeWarning, warning.c_str(), 1) != 0)
                throw py::error_already_set();
    }

    // The points of the next frame; StopIteration after Ctrl-C (the KeyboardInterrupt is taken),
    // close() or `timeout` seconds without a datagram.
    py::dict next() {
        if (!listener) throw py::stop_iteration();
        double waited = 0;
        while (true) {
            compact::PointColumns points;
            bool got = false;
            {
                py::gil_scoped_release unlocked;  // no Python inside
                got = listener->next(points, waitMs);
            }
            if (got) {
                pointsSoFar += points.size();
                return columnsDict(points);
            }
            // Ctrl-C ends the stream as it ends the receiver: cleanly, the socket closed.
            if (PyErr_CheckSignals() != 0) {
                if (!PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw py::error_already_set();
                PyErr_Clear();
                close();
                throw py::stop_iteration();
            }
            waited += waitMs / 1000.0;
            if (timeout && waited >= *timeout) throw py::stop_iteration();
        }
    }

    void close() {
        if (!listener) return;
        summary = counts();
        listener.reset();
    }

    py::dict counts() const {
        if (!listener) return summary;
        py::dict out = summaryDict(pointSummary(listener->status(), pointsSoFar));
        out["dropped_by_this_host"] = listener->hostDrops();
        return out;
    }

  private:
    // How long one wait for a datagram lasts: how soon Ctrl-C is seen.
    static constexpr int waitMs = 100;
    static constexpr size_t queueBytes = size_t{64} << 20;

    std::unique_ptr<PointListener> listener;
    std::optional<double> timeout;
    uint64_t pointsSoFar = 0;
    py::dict summary;
};

}  // namespace

PYBIND11_MODULE(_compact, m) {
    m.doc() = "The points of Compact captures as numpy arrays (the C++ core of compact_csv).";
    py::register_exception_translator([](std::exception_ptr thrown) {
        try {
            if (thrown) std::rethrow_exception(thrown);
        } catch (const UsageError& error) {
            PyErr_SetString(PyExc_ValueError, error.what());
        } catch (const SetupError& error) {
            PyErr_SetString(PyExc_OSError, error.what());
        }
    });

    // The names of read()'s arrays in their order, and their numpy dtypes.
    py::list names;
    py::dict dtypes;
    compact::PointColumns().visit([&](const char* name, const auto& values) {
        names.append(name);
        dtypes[name] = py::dtype::of<typename std::decay_t<decltype(values)>::value_type>();
    });
    m.attr("COLUMNS") = py::tuple(names);
    m.attr("DTYPES") = dtypes;

    m.def("read", &readCapture, py::arg("path"), py::kw_only(), py::arg("port") = 2115,
          py::arg("address") = py::none(), py::arg("segment") = py::none(),
          py::arg("line") = py::none(), py::arg("phi") = py::none(), py::arg("beam") = py::none(),
          py::arg("theta") = py::none(), py::arg("echo") = py::none(),
          py::arg("phi_tolerance") = 1.0,
          "Reads the points of the Compact telegrams in a pcap or pcapng capture: a dict of numpy "
          "arrays, one per column of COLUMNS. See help(compact_csv).");
    m.def(
        "last_summary",
        []() -> py::object {
            if (!lastSummary) return py::none();
            return summaryDict(*lastSummary);
        },
        "The counts of the last read() in this thread as a dict, or None before the first one.");

    py::class_<Listener>(m, "Listener",
                         "The points of a live stream, one dict of arrays per frame received.")
        .def("__iter__", [](Listener& self) -> Listener& { return self; })
        .def("__next__", &Listener::next)
        .def("close", &Listener::close, "Stops receiving and closes the socket.")
        .def("summary", &Listener::counts, "The counts so far (as last_summary() after a read).")
        .def("__enter__", [](Listener& self) -> Listener& { return self; })
        .def("__exit__", [](Listener& self, py::args) { self.close(); });
    m.def(
        "listen",
        [](int port, const std::optional<std::string>& address,
           const std::vector<std::string>& multicast, const std::optional<std::string>& interface,
           py::handle segment, py::handle line, py::handle phi, py::handle beam, py::handle theta,
           py::handle echo, py::handle phiTolerance, std::optional<double> timeout) {
            PointArguments arguments =
                filterArguments(port, address, segment, line, phi, beam, theta, echo, phiTolerance);
            arguments.multicast = multicast;
            arguments.interfaceName = interface;
            return std::make_unique<Listener>(pointOptions(arguments), timeout);
        },
        py::arg("port") = 2115, py::kw_only(), py::arg("address") = py::none(),
        py::arg("multicast") = std::vector<std::string>{}, py::arg("interface") = py::none(),
        py::arg("segment") = py::none(), py::arg("line") = py::none(), py::arg("phi") = py::none(),
        py::arg("beam") = py::none(), py::arg("theta") = py::none(), py::arg("echo") = py::none(),
        py::arg("phi_tolerance") = 1.0, py::arg("timeout") = py::none(),
        "Receives Compact telegrams on a UDP port and yields the points of each frame as a dict "
        "of numpy arrays. See help(compact_csv).");
}
