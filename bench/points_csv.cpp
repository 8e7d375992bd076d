// Not a benchmark: writes every point of a capture as CSV (the point columns, one row per point),
// for bench/points_bench.py to compare pandas.read_csv with the Python module while the receiver
// has no option that writes points. Floats are written in their shortest exact form, so the CSV
// reads back to the same values; a value the frame does not carry is an empty field.
//
// Usage: points_csv CAPTURE OUT.csv
#include <charconv>
#include <cstdio>
#include <exception>
#include <string>
#include <type_traits>

#include "app/point_reader.h"

namespace {

template <typename T>
void put(std::string& out, T value) {
    char text[32];
    out.append(text, std::to_chars(text, text + sizeof text, value).ptr);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: points_csv CAPTURE OUT.csv\n");
        return 2;
    }
    try {
        PointReader reader(argv[1], {}, pointOptions({}).capture);
        FILE* file = std::fopen(argv[2], "wb");
        if (file == nullptr) {
            std::perror(argv[2]);
            return 1;
        }
        std::string text;
        compact::PointColumns points;
        points.visit([&](const char* name, const auto&) {
            if (!text.empty()) text += ',';
            text += name;
        });
        text += '\n';
        while (reader.next(points)) {
            for (size_t i = 0; i < points.size(); ++i) {
                bool first = true;
                points.visit([&](const char*, const auto& column) {
                    if (!first) text += ',';
                    first = false;
                    const auto value = column[i];
                    // Only rssi and properties go below 0: -1 where the frame has no value.
                    if constexpr (std::is_integral_v<decltype(value)> &&
                                  std::is_signed_v<decltype(value)>) {
                        if (value < 0) return;
                    }
                    put(text, value);
                });
                text += '\n';
            }
            points.clear();
            if (text.size() > (1u << 20)) {
                std::fwrite(text.data(), 1, text.size(), file);
                text.clear();
            }
        }
        std::fwrite(text.data(), 1, text.size(), file);
        if (std::fclose(file) != 0) {
            std::perror(argv[2]);
            return 1;
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
