// Decoder entry point for one datagram: the 4-byte magic 02 02 02 02 followed by a Compact frame.
#pragma once

#include <memory>
#include <string>

#include "format/compact_frame.h"
#include "format/kaitaistream.h"

namespace ravo {

class compact_frame_magic_t : public kaitai::kstruct {
  public:
    // Decodes a whole datagram from `p__io`, which must stand at its first byte. `p__root` is
    // ignored (this object is its own root). Throws kaitai::validation_not_equal_error<std::string>
    // ("/seq/0: at pos 4: validation failed: not equal") for a wrong magic, and whatever
    // compact_frame_t throws; nothing after a wrong magic is read.
    compact_frame_magic_t(kaitai::kstream* p__io, kaitai::kstruct* p__parent = nullptr,
                          compact_frame_magic_t* p__root = nullptr);
    ~compact_frame_magic_t() override;

    // The 4 bytes read.
    std::string magic() const { return m_magic; }
    // The frame, owned by this object. Its own root is the frame, not this object.
    compact_frame_t* frame() const { return m_frame.get(); }

    compact_frame_magic_t* _root() const { return m__root; }
    kaitai::kstruct* _parent() const { return m__parent; }
    kaitai::kstream* _io() const { return m__io; }

  private:
    void _read();
    void _clean_up() {}

    std::string m_magic;
    std::unique_ptr<compact_frame_t> m_frame;
    compact_frame_magic_t* m__root;
    kaitai::kstruct* m__parent;
};

}  // namespace ravo
