// Decoder of one Compact frame (header, modules, measurement data, trailer) into an object tree.
#include "format/compact_frame.h"

#include <ios>
#include <limits>
#include <stdexcept>
#include <string>

namespace ravo {

namespace {

namespace wire = compact::wire;
using wire::addSat;
using wire::elementCount;
using wire::mulSat;

// The frame every nested object reads its version and object count from; a null root is refused
// before anything is read.
compact_frame_t* requireRoot(compact_frame_t* root) {
    if (root == nullptr) throw std::invalid_argument("a nested Compact object needs its frame");
    return root;
}

// The object a nested object reads its counts and flags through; null is refused likewise.
template <typename Parent>
Parent* requireParent(Parent* parent) {
    if (parent == nullptr) throw std::invalid_argument("a nested Compact object needs its parent");
    return parent;
}

// Raises the end-of-data error when `count` elements of `elementBytes` bytes each cannot fit in
// what is left of the datagram. Such a datagram would fail later anyway; failing here keeps a
// hostile count from building (or allocating for) elements that cannot be read.
void requireBytes(kaitai::kstream* io, uint64_t count, uint64_t elementBytes, const char* what) {
    if (elementBytes == 0 || count == 0) {
        return;
    }
    const uint64_t left = io->size() - io->pos();
    if (count > left / elementBytes) {
        throw std::ios_base::failure(std::string(what) + ": " + std::to_string(count) + " of " +
                                     std::to_string(elementBytes) + " bytes each at pos " +
                                     std::to_string(io->pos()) + ", " + std::to_string(left) +
                                     " bytes left");
    }
}

}  // namespace

// ---- frame ----------------------------------------------------------------------------------

compact_frame_t::compact_frame_t(kaitai::kstream* p__io, kaitai::kstruct* p__parent,
                                 compact_frame_t* /*p__root*/)
    : kaitai::kstruct(p__io), m__root(this), m__parent(p__parent) {
    _read();
}

compact_frame_t::~compact_frame_t() { _clean_up(); }

void compact_frame_t::claimObjects(uint64_t count) {
    if (count > maxObjectsPerDatagram - m_objectsDecoded) {
        throw std::ios_base::failure("datagram declares more than " +
                                     std::to_string(maxObjectsPerDatagram) + " objects");
    }
    m_objectsDecoded += count;
}

void compact_frame_t::_read() {
    claimObjects(wire::frameObjectsBeforeModules);  // the header
    m_header = std::make_unique<header_t>(m__io, this, m__root);
    if (m_header->first_module_size() == 0) {
        n_modules = true;
    } else {
        n_modules = false;
        m_modules = std::make_unique<std::vector<std::unique_ptr<module_t>>>();
        // The size fields only mark whether another module follows; each module starts where
        // the previous one ended. Every module reads at least 40 bytes, so the datagram's
        // length bounds this loop.
        bool more = true;
        while (more) {
            claimObjects(wire::ModuleShape::objectsBeforeBeams);  // module, metadata, two flags
            m_modules->push_back(std::make_unique<module_t>(m__io, this, m__root));
            more = m_modules->back()->metadata()->next_module_size() != 0;
        }
    }
    m_trailer_word = m__io->read_u4le();
}

// ---- header ---------------------------------------------------------------------------------

compact_frame_t::header_t::header_t(kaitai::kstream* p__io, compact_frame_t* p__parent,
                                    compact_frame_t* p__root)
    : kaitai::kstruct(p__io), m__root(requireRoot(p__root)), m__parent(p__parent) {
    _read();
}

compact_frame_t::header_t::~header_t() { _clean_up(); }

void compact_frame_t::header_t::_read() {
    m_header_word_0 = m__io->read_u4le();
    m_telegram_counter = m__io->read_u8le();
    m_header_word_2 = m__io->read_u8le();
    m_telegram_version = m__io->read_u4le();
    if (m_telegram_version < wire::minTelegramVersion) {
        throw kaitai::validation_less_than_error<unsigned int>(
            wire::minTelegramVersion, m_telegram_version, m__io, "/types/header/seq/3");
    }
    if (m_telegram_version > wire::maxTelegramVersion) {
        throw kaitai::validation_greater_than_error<unsigned int>(
            wire::maxTelegramVersion, m_telegram_version, m__io, "/types/header/seq/3");
    }
    m_first_module_size = m__io->read_u4le();
}

// ---- module ---------------------------------------------------------------------------------

compact_frame_t::module_t::module_t(kaitai::kstream* p__io, compact_frame_t* p__parent,
                                    compact_frame_t* p__root)
    : kaitai::kstruct(p__io), m__root(requireRoot(p__root)), m__parent(p__parent) {
    _read();
}

compact_frame_t::module_t::~module_t() { _clean_up(); }

void compact_frame_t::module_t::_read() {
    m_metadata = std::make_unique<metadata_t>(m__io, this, m__root);
    m_beams = std::make_unique<std::vector<std::unique_ptr<beam_t>>>();
    const uint64_t beams = elementCount(m_metadata->num_beams());
    if (beams == 0) {
        return;
    }
    // Bound the whole beam block here, before any beam exists: its wire size and the number of
    // objects it would create follow from the counts and flags alone.
    const data_content_echos_t& echoFlags = *m_metadata->data_content_echos();
    const data_content_beams_t& beamFlags = *m_metadata->data_content_beams();
    const wire::ModuleShape shape{
        m_metadata->num_lines(), m_metadata->num_beams(), m_metadata->num_echos(),
        static_cast<uint8_t>((echoFlags.has_rssi() ? wire::echoHasRssi : 0) |
                             (echoFlags.has_distance() ? wire::echoHasDistance : 0)),
        static_cast<uint8_t>((beamFlags.has_theta() ? wire::beamHasTheta : 0) |
                             (beamFlags.has_properties() ? wire::beamHasProperties : 0))};
    requireBytes(m__io, beams, mulSat(shape.lines(), shape.measurementBytes()), "beams");
    m__root->claimObjects(shape.objects() - wire::ModuleShape::objectsBeforeBeams);

    m_beams->reserve(beams);
    for (uint64_t i = 0; i < beams; ++i) {
        m_beams->push_back(std::make_unique<beam_t>(m__io, this, m__root));
    }
}

// ---- metadata -------------------------------------------------------------------------------

compact_frame_t::metadata_t::metadata_t(kaitai::kstream* p__io, module_t* p__parent,
                                        compact_frame_t* p__root)
    : kaitai::kstruct(p__io), m__root(requireRoot(p__root)), m__parent(p__parent) {
    _read();
}

compact_frame_t::metadata_t::~metadata_t() { _clean_up(); }

void compact_frame_t::metadata_t::_read() {
    m_segment_counter = m__io->read_u8le();
    m_frame_number = m__io->read_u8le();
    m_sender_id = m__io->read_u4le();
    m_num_lines = m__io->read_u4le();
    m_num_beams = m__io->read_u4le();
    m_num_echos = m__io->read_u4le();

    const uint64_t lines = elementCount(m_num_lines);
    requireBytes(m__io, lines, wire::perLineMetadataBytes, "per-line metadata");
    m_timestamp_start = std::make_unique<std::vector<uint64_t>>();
    m_timestamp_stop = std::make_unique<std::vector<uint64_t>>();
    m_phi = std::make_unique<std::vector<float>>();
    m_theta_start = std::make_unique<std::vector<float>>();
    m_theta_stop = std::make_unique<std::vector<float>>();
    m_timestamp_start->reserve(lines);
    m_timestamp_stop->reserve(lines);
    m_phi->reserve(lines);
    m_theta_start->reserve(lines);
    m_theta_stop->reserve(lines);
    for (uint64_t i = 0; i < lines; ++i) {
        m_timestamp_start->push_back(m__io->read_u8le());
    }
    for (uint64_t i = 0; i < lines; ++i) {
        m_timestamp_stop->push_back(m__io->read_u8le());
    }
    for (uint64_t i = 0; i < lines; ++i) {
        m_phi->push_back(m__io->read_f4le());
    }
    for (uint64_t i = 0; i < lines; ++i) {
        m_theta_start->push_back(m__io->read_f4le());
    }
    for (uint64_t i = 0; i < lines; ++i) {
        m_theta_stop->push_back(m__io->read_f4le());
    }

    if (wire::hasScalingFactor(m__root->header()->telegram_version())) {
        n_distance_scaling_factor = false;
        m_distance_scaling_factor = m__io->read_f4le();
    } else {
        n_distance_scaling_factor = true;
    }
    m_next_module_size = m__io->read_u4le();
    m_metadata_byte_13 = m__io->read_u1();
    m_data_content_echos = std::make_unique<data_content_echos_t>(m__io, this, m__root);
    m_data_content_beams = std::make_unique<data_content_beams_t>(m__io, this, m__root);
    m_metadata_byte_16 = m__io->read_u1();
}

double compact_frame_t::metadata_t::theta_start_deg() const {
    if (!f_theta_start_deg) {
        m_theta_start_deg = static_cast<double>(m_theta_start->at(0)) * 180.0 / wire::senderPi;
        f_theta_start_deg = true;
    }
    return m_theta_start_deg;
}

double compact_frame_t::metadata_t::theta_stop_deg() const {
    if (!f_theta_stop_deg) {
        m_theta_stop_deg = static_cast<double>(m_theta_stop->at(0)) * 180.0 / wire::senderPi;
        f_theta_stop_deg = true;
    }
    return m_theta_stop_deg;
}

// ---- presence flags -------------------------------------------------------------------------

compact_frame_t::data_content_echos_t::data_content_echos_t(kaitai::kstream* p__io,
                                                            metadata_t* p__parent,
                                                            compact_frame_t* p__root)
    : kaitai::kstruct(p__io), m__root(requireRoot(p__root)), m__parent(p__parent) {
    _read();
}

compact_frame_t::data_content_echos_t::~data_content_echos_t() { _clean_up(); }

void compact_frame_t::data_content_echos_t::_read() {
    m_reserved = m__io->read_bits_int_be(6);
    m_has_rssi = m__io->read_bits_int_be(1) != 0;
    m_has_distance = m__io->read_bits_int_be(1) != 0;
}

compact_frame_t::data_content_beams_t::data_content_beams_t(kaitai::kstream* p__io,
                                                            metadata_t* p__parent,
                                                            compact_frame_t* p__root)
    : kaitai::kstruct(p__io), m__root(requireRoot(p__root)), m__parent(p__parent) {
    _read();
}

compact_frame_t::data_content_beams_t::~data_content_beams_t() { _clean_up(); }

void compact_frame_t::data_content_beams_t::_read() {
    m_reserved = m__io->read_bits_int_be(6);
    m_has_theta = m__io->read_bits_int_be(1) != 0;
    m_has_properties = m__io->read_bits_int_be(1) != 0;
}

// ---- beam -----------------------------------------------------------------------------------

compact_frame_t::beam_t::beam_t(kaitai::kstream* p__io, module_t* p__parent,
                                compact_frame_t* p__root)
    : kaitai::kstruct(p__io), m__root(requireRoot(p__root)), m__parent(requireParent(p__parent)) {
    _read();
}

compact_frame_t::beam_t::~beam_t() { _clean_up(); }

// The module has bounded bytes and objects of all its beams before the first one is read.
void compact_frame_t::beam_t::_read() {
    m_measurement_data = std::make_unique<std::vector<std::unique_ptr<measurement_data_t>>>();
    const uint64_t lines = elementCount(m__parent->metadata()->num_lines());
    m_measurement_data->reserve(lines);
    for (uint64_t i = 0; i < lines; ++i) {
        m_measurement_data->push_back(std::make_unique<measurement_data_t>(m__io, this, m__root));
    }
}

// ---- measurement ----------------------------------------------------------------------------

compact_frame_t::measurement_data_t::measurement_data_t(kaitai::kstream* p__io, beam_t* p__parent,
                                                        compact_frame_t* p__root)
    : kaitai::kstruct(p__io), m__root(requireRoot(p__root)), m__parent(requireParent(p__parent)) {
    _read();
}

compact_frame_t::measurement_data_t::~measurement_data_t() { _clean_up(); }

void compact_frame_t::measurement_data_t::_read() {
    const metadata_t* metadata = m__parent->_parent()->metadata();
    const bool hasTheta = metadata->data_content_beams()->has_theta();
    const bool thetaAfterProperties = wire::hasScalingFactor(m__root->header()->telegram_version());

    m_echos = std::make_unique<std::vector<std::unique_ptr<echo_t>>>();
    const uint64_t echoes = elementCount(metadata->num_echos());
    m_echos->reserve(echoes);
    for (uint64_t i = 0; i < echoes; ++i) {
        m_echos->push_back(std::make_unique<echo_t>(m__io, this, m__root));
    }
    n_theta_v3 = !(hasTheta && !thetaAfterProperties);
    if (!n_theta_v3) {
        m_theta_v3 = m__io->read_u2le();
    }
    n_beam_properties = !metadata->data_content_beams()->has_properties();
    if (!n_beam_properties) {
        m_beam_properties = std::make_unique<beam_properties_t>(m__io, this, m__root);
    }
    n_theta_v4 = !(hasTheta && thetaAfterProperties);
    if (!n_theta_v4) {
        m_theta_v4 = m__io->read_u2le();
    }
}

uint16_t compact_frame_t::measurement_data_t::theta() const {
    if (!f_theta) {
        m_theta =
            wire::hasScalingFactor(m__root->header()->telegram_version()) ? m_theta_v4 : m_theta_v3;
        f_theta = true;
    }
    return m_theta;
}

double compact_frame_t::measurement_data_t::theta_rad() const {
    if (!f_theta_rad) {
        m_theta_rad = (theta() - wire::thetaRawZero) / wire::thetaRawPerRadian;
        f_theta_rad = true;
    }
    return m_theta_rad;
}

double compact_frame_t::measurement_data_t::theta_deg() const {
    if (!f_theta_deg) {
        m_theta_deg = theta_rad() * 180.0 / wire::senderPi;
        f_theta_deg = true;
    }
    return m_theta_deg;
}

// ---- echo -----------------------------------------------------------------------------------

compact_frame_t::echo_t::echo_t(kaitai::kstream* p__io, measurement_data_t* p__parent,
                                compact_frame_t* p__root)
    : kaitai::kstruct(p__io), m__root(requireRoot(p__root)), m__parent(requireParent(p__parent)) {
    _read();
}

compact_frame_t::echo_t::~echo_t() { _clean_up(); }

void compact_frame_t::echo_t::_read() {
    const data_content_echos_t* flags =
        m__parent->_parent()->_parent()->metadata()->data_content_echos();
    n_distance_raw = !flags->has_distance();
    if (!n_distance_raw) {
        m_distance_raw = m__io->read_u2le();
    }
    n_rssi = !flags->has_rssi();
    if (!n_rssi) {
        m_rssi = m__io->read_u2le();
    }
}

double compact_frame_t::echo_t::distance() const {
    if (!f_distance) {
        float value = static_cast<float>(m_distance_raw);
        if (wire::hasScalingFactor(m__root->header()->telegram_version())) {
            const metadata_t* metadata = m__parent->_parent()->_parent()->metadata();
            value *= metadata->distance_scaling_factor();  // single precision, as the sender
        }
        m_distance = static_cast<double>(value);
        f_distance = true;
    }
    return m_distance;
}

// ---- beam properties ------------------------------------------------------------------------

compact_frame_t::beam_properties_t::beam_properties_t(kaitai::kstream* p__io,
                                                      measurement_data_t* p__parent,
                                                      compact_frame_t* p__root)
    : kaitai::kstruct(p__io), m__root(requireRoot(p__root)), m__parent(p__parent) {
    _read();
}

compact_frame_t::beam_properties_t::~beam_properties_t() { _clean_up(); }

void compact_frame_t::beam_properties_t::_read() {
    m_upper_bits = m__io->read_bits_int_be(7);
    m_bit_0 = m__io->read_bits_int_be(1) != 0;
}

}  // namespace ravo
