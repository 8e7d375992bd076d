// Decoder of one Compact frame (header, modules, measurement data, trailer) into an object tree.
//
// Constructing a compact_frame_t reads the whole frame eagerly from a kaitai::kstream; every object
// owns its children and keeps non-owning links to its stream, parent and root (the frame). All
// wire values are little-endian. Errors: std::ios_base::failure when the data ends early, when a
// count cannot fit the bytes left, or when the datagram would produce more than
// compact_frame_t::maxObjectsPerDatagram objects; kaitai::validation_*_error for a telegram
// version other than 3 or 4. A constructor that throws releases everything it built. The nested
// types need the frame as their root (it holds the header and the object count): constructing one
// with a null root throws std::invalid_argument.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "format/compact_wire.h"
#include "format/kaitaistream.h"

namespace ravo {

class compact_frame_t : public kaitai::kstruct {
  public:
    class header_t;
    class module_t;
    class metadata_t;
    class data_content_echos_t;
    class data_content_beams_t;
    class beam_t;
    class measurement_data_t;
    class echo_t;
    class beam_properties_t;

    // Upper bound on decoded objects per datagram (see compact::wire::maxObjectsPerDatagram).
    static constexpr uint64_t maxObjectsPerDatagram = compact::wire::maxObjectsPerDatagram;

    // Decodes a frame starting at its header. `p__root` is ignored: the frame is its own root.
    compact_frame_t(kaitai::kstream* p__io, kaitai::kstruct* p__parent = nullptr,
                    compact_frame_t* p__root = nullptr);
    ~compact_frame_t() override;

    header_t* header() const { return m_header.get(); }
    // The modules in wire order; nullptr when the header's first_module_size is 0.
    std::vector<std::unique_ptr<module_t>>* modules() const { return m_modules.get(); }
    bool _is_null_modules() const { return n_modules; }
    // The 4 bytes after the last module; not interpreted.
    uint32_t trailer_word() const { return m_trailer_word; }

    compact_frame_t* _root() const { return m__root; }
    kaitai::kstruct* _parent() const { return m__parent; }
    kaitai::kstream* _io() const { return m__io; }

  private:
    void _read();
    void _clean_up() {}
    // Counts `count` more objects against maxObjectsPerDatagram; raises the end-of-data error
    // when the total would pass it.
    void claimObjects(uint64_t count);

    std::unique_ptr<header_t> m_header;
    std::unique_ptr<std::vector<std::unique_ptr<module_t>>> m_modules;
    bool n_modules = true;
    uint32_t m_trailer_word = 0;
    uint64_t m_objectsDecoded = 0;
    compact_frame_t* m__root;
    kaitai::kstruct* m__parent;
};

// The fixed 28-byte header. Rejects telegram versions outside 3..4.
class compact_frame_t::header_t : public kaitai::kstruct {
  public:
    header_t(kaitai::kstream* p__io, compact_frame_t* p__parent, compact_frame_t* p__root);
    ~header_t() override;

    uint32_t header_word_0() const { return m_header_word_0; }
    uint64_t telegram_counter() const { return m_telegram_counter; }
    uint64_t header_word_2() const { return m_header_word_2; }
    uint32_t telegram_version() const { return m_telegram_version; }
    // 0: the frame has no modules; any other value: at least one module follows.
    uint32_t first_module_size() const { return m_first_module_size; }

    compact_frame_t* _root() const { return m__root; }
    compact_frame_t* _parent() const { return m__parent; }
    kaitai::kstream* _io() const { return m__io; }

  private:
    void _read();
    void _clean_up() {}

    uint32_t m_header_word_0 = 0;
    uint64_t m_telegram_counter = 0;
    uint64_t m_header_word_2 = 0;
    uint32_t m_telegram_version = 0;
    uint32_t m_first_module_size = 0;
    compact_frame_t* m__root;
    compact_frame_t* m__parent;
};

// One scan segment: metadata, then num_beams beams of num_lines measurements each.
class compact_frame_t::module_t : public kaitai::kstruct {
  public:
    // `p__root` must be the frame whose header has been read.
    module_t(kaitai::kstream* p__io, compact_frame_t* p__parent, compact_frame_t* p__root);
    ~module_t() override;

    metadata_t* metadata() const { return m_metadata.get(); }
    // Beam 0 first; empty when num_beams is 0 or, as a signed 32-bit number, negative.
    std::vector<std::unique_ptr<beam_t>>* beams() const { return m_beams.get(); }

    compact_frame_t* _root() const { return m__root; }
    compact_frame_t* _parent() const { return m__parent; }
    kaitai::kstream* _io() const { return m__io; }

  private:
    void _read();
    void _clean_up() {}

    std::unique_ptr<metadata_t> m_metadata;
    std::unique_ptr<std::vector<std::unique_ptr<beam_t>>> m_beams;
    compact_frame_t* m__root;
    compact_frame_t* m__parent;
};

// Identity, counts, per-line arrays and presence flags of a module. Counts of 2^31 and above
// read as negative and give no elements.
class compact_frame_t::metadata_t : public kaitai::kstruct {
  public:
    metadata_t(kaitai::kstream* p__io, module_t* p__parent, compact_frame_t* p__root);
    ~metadata_t() override;

    uint64_t segment_counter() const { return m_segment_counter; }
    uint64_t frame_number() const { return m_frame_number; }
    uint32_t sender_id() const { return m_sender_id; }
    uint32_t num_lines() const { return m_num_lines; }
    uint32_t num_beams() const { return m_num_beams; }
    uint32_t num_echos() const { return m_num_echos; }
    // Per-line arrays, entry i for line i; angles in radians.
    std::vector<uint64_t>* timestamp_start() const { return m_timestamp_start.get(); }
    std::vector<uint64_t>* timestamp_stop() const { return m_timestamp_stop.get(); }
    std::vector<float>* phi() const { return m_phi.get(); }
    std::vector<float>* theta_start() const { return m_theta_start.get(); }
    std::vector<float>* theta_stop() const { return m_theta_stop.get(); }
    // Present only in telegram version 4; 0 when absent.
    float distance_scaling_factor() const { return m_distance_scaling_factor; }
    bool _is_null_distance_scaling_factor() const { return n_distance_scaling_factor; }
    // 0: last module of the frame.
    uint32_t next_module_size() const { return m_next_module_size; }
    uint8_t metadata_byte_13() const { return m_metadata_byte_13; }
    data_content_echos_t* data_content_echos() const { return m_data_content_echos.get(); }
    data_content_beams_t* data_content_beams() const { return m_data_content_beams.get(); }
    uint8_t metadata_byte_16() const { return m_metadata_byte_16; }

    // theta_start[0] / theta_stop[0] in degrees (x * 180 / 3.141592653589, the sender's
    // constant). Throw std::out_of_range for a module without lines. Cached.
    double theta_start_deg() const;
    double theta_stop_deg() const;

    module_t* _parent() const { return m__parent; }
    compact_frame_t* _root() const { return m__root; }
    kaitai::kstream* _io() const { return m__io; }

  private:
    void _read();
    void _clean_up() {}

    uint64_t m_segment_counter = 0;
    uint64_t m_frame_number = 0;
    uint32_t m_sender_id = 0;
    uint32_t m_num_lines = 0;
    uint32_t m_num_beams = 0;
    uint32_t m_num_echos = 0;
    std::unique_ptr<std::vector<uint64_t>> m_timestamp_start;
    std::unique_ptr<std::vector<uint64_t>> m_timestamp_stop;
    std::unique_ptr<std::vector<float>> m_phi;
    std::unique_ptr<std::vector<float>> m_theta_start;
    std::unique_ptr<std::vector<float>> m_theta_stop;
    float m_distance_scaling_factor = 0.0f;
    bool n_distance_scaling_factor = true;
    uint32_t m_next_module_size = 0;
    uint8_t m_metadata_byte_13 = 0;
    std::unique_ptr<data_content_echos_t> m_data_content_echos;
    std::unique_ptr<data_content_beams_t> m_data_content_beams;
    uint8_t m_metadata_byte_16 = 0;
    mutable bool f_theta_start_deg = false;
    mutable double m_theta_start_deg = 0.0;
    mutable bool f_theta_stop_deg = false;
    mutable double m_theta_stop_deg = 0.0;
    compact_frame_t* m__root;
    module_t* m__parent;
};

// Which echo values are present (one byte: 6 reserved bits, rssi, distance).
class compact_frame_t::data_content_echos_t : public kaitai::kstruct {
  public:
    data_content_echos_t(kaitai::kstream* p__io, metadata_t* p__parent, compact_frame_t* p__root);
    ~data_content_echos_t() override;

    uint64_t reserved() const { return m_reserved; }
    bool has_rssi() const { return m_has_rssi; }          // bit 1 (mask 0x02)
    bool has_distance() const { return m_has_distance; }  // bit 0 (mask 0x01)

    metadata_t* _parent() const { return m__parent; }
    compact_frame_t* _root() const { return m__root; }
    kaitai::kstream* _io() const { return m__io; }

  private:
    void _read();
    void _clean_up() {}

    uint64_t m_reserved = 0;
    bool m_has_rssi = false;
    bool m_has_distance = false;
    compact_frame_t* m__root;
    metadata_t* m__parent;
};

// Which per-measurement values are present (one byte: 6 reserved bits, theta, properties).
class compact_frame_t::data_content_beams_t : public kaitai::kstruct {
  public:
    data_content_beams_t(kaitai::kstream* p__io, metadata_t* p__parent, compact_frame_t* p__root);
    ~data_content_beams_t() override;

    uint64_t reserved() const { return m_reserved; }
    bool has_theta() const { return m_has_theta; }            // bit 1 (mask 0x02)
    bool has_properties() const { return m_has_properties; }  // bit 0 (mask 0x01)

    metadata_t* _parent() const { return m__parent; }
    compact_frame_t* _root() const { return m__root; }
    kaitai::kstream* _io() const { return m__io; }

  private:
    void _read();
    void _clean_up() {}

    uint64_t m_reserved = 0;
    bool m_has_theta = false;
    bool m_has_properties = false;
    compact_frame_t* m__root;
    metadata_t* m__parent;
};

// One beam: its measurement in every line of the module.
class compact_frame_t::beam_t : public kaitai::kstruct {
  public:
    beam_t(kaitai::kstream* p__io, module_t* p__parent, compact_frame_t* p__root);
    ~beam_t() override;

    // Entry i is this beam in line i.
    std::vector<std::unique_ptr<measurement_data_t>>* measurement_data() const {
        return m_measurement_data.get();
    }

    module_t* _parent() const { return m__parent; }
    compact_frame_t* _root() const { return m__root; }
    kaitai::kstream* _io() const { return m__io; }

  private:
    void _read();
    void _clean_up() {}

    std::unique_ptr<std::vector<std::unique_ptr<measurement_data_t>>> m_measurement_data;
    compact_frame_t* m__root;
    module_t* m__parent;
};

// One beam in one line: its echoes, and theta and the property byte when the module has them.
// Theta precedes the property byte in version 3 and follows it in version 4.
class compact_frame_t::measurement_data_t : public kaitai::kstruct {
  public:
    measurement_data_t(kaitai::kstream* p__io, beam_t* p__parent, compact_frame_t* p__root);
    ~measurement_data_t() override;

    std::vector<std::unique_ptr<echo_t>>* echos() const { return m_echos.get(); }
    uint16_t theta_v3() const { return m_theta_v3; }  // 0 when absent
    bool _is_null_theta_v3() const { return n_theta_v3; }
    // nullptr when the module has no property bytes.
    beam_properties_t* beam_properties() const { return m_beam_properties.get(); }
    bool _is_null_beam_properties() const { return n_beam_properties; }
    uint16_t theta_v4() const { return m_theta_v4; }  // 0 when absent
    bool _is_null_theta_v4() const { return n_theta_v4; }

    // Raw theta of the frame's version (0 without theta). Cached.
    uint16_t theta() const;
    // (theta() - 16384) / 5215: raw 16384 is 0 rad, one raw step is 1/5215 rad. Cached.
    double theta_rad() const;
    // theta_rad() * 180 / 3.141592653589. Cached.
    double theta_deg() const;

    beam_t* _parent() const { return m__parent; }
    compact_frame_t* _root() const { return m__root; }
    kaitai::kstream* _io() const { return m__io; }

  private:
    void _read();
    void _clean_up() {}

    std::unique_ptr<std::vector<std::unique_ptr<echo_t>>> m_echos;
    uint16_t m_theta_v3 = 0;
    bool n_theta_v3 = true;
    std::unique_ptr<beam_properties_t> m_beam_properties;
    bool n_beam_properties = true;
    uint16_t m_theta_v4 = 0;
    bool n_theta_v4 = true;
    mutable bool f_theta = false;
    mutable uint16_t m_theta = 0;
    mutable bool f_theta_rad = false;
    mutable double m_theta_rad = 0.0;
    mutable bool f_theta_deg = false;
    mutable double m_theta_deg = 0.0;
    compact_frame_t* m__root;
    beam_t* m__parent;
};

// One echo: raw distance and rssi, each when the module has it.
class compact_frame_t::echo_t : public kaitai::kstruct {
  public:
    echo_t(kaitai::kstream* p__io, measurement_data_t* p__parent, compact_frame_t* p__root);
    ~echo_t() override;

    uint16_t distance_raw() const { return m_distance_raw; }  // 0 when absent
    bool _is_null_distance_raw() const { return n_distance_raw; }
    uint16_t rssi() const { return m_rssi; }  // 0 when absent
    bool _is_null_rssi() const { return n_rssi; }

    // distance_raw as float, times distance_scaling_factor in single precision in version 4,
    // widened to double. Cached.
    double distance() const;

    measurement_data_t* _parent() const { return m__parent; }
    compact_frame_t* _root() const { return m__root; }
    kaitai::kstream* _io() const { return m__io; }

  private:
    void _read();
    void _clean_up() {}

    uint16_t m_distance_raw = 0;
    bool n_distance_raw = true;
    uint16_t m_rssi = 0;
    bool n_rssi = true;
    mutable bool f_distance = false;
    mutable double m_distance = 0.0;
    compact_frame_t* m__root;
    measurement_data_t* m__parent;
};

// The property byte of a measurement: upper_bits * 2 + bit_0 is the byte as received.
class compact_frame_t::beam_properties_t : public kaitai::kstruct {
  public:
    beam_properties_t(kaitai::kstream* p__io, measurement_data_t* p__parent,
                      compact_frame_t* p__root);
    ~beam_properties_t() override;

    uint64_t upper_bits() const { return m_upper_bits; }  // bits 7..1
    bool bit_0() const { return m_bit_0; }

    measurement_data_t* _parent() const { return m__parent; }
    compact_frame_t* _root() const { return m__root; }
    kaitai::kstream* _io() const { return m__io; }

  private:
    void _read();
    void _clean_up() {}

    uint64_t m_upper_bits = 0;
    bool m_bit_0 = false;
    compact_frame_t* m__root;
    measurement_data_t* m__parent;
};

}  // namespace ravo
