// Decoder entry point for one datagram: the 4-byte magic 02 02 02 02 followed by a Compact frame.
#include "format/compact_frame_magic.h"

namespace ravo {

namespace {

// Every Compact datagram starts with these four bytes.
const std::string frameMagic(compact::wire::magic.begin(), compact::wire::magic.end());

}  // namespace

compact_frame_magic_t::compact_frame_magic_t(kaitai::kstream* p__io, kaitai::kstruct* p__parent,
                                             compact_frame_magic_t* /*p__root*/)
    : kaitai::kstruct(p__io), m__root(this), m__parent(p__parent) {
    _read();
}

compact_frame_magic_t::~compact_frame_magic_t() { _clean_up(); }

void compact_frame_magic_t::_read() {
    m_magic = m__io->read_bytes(static_cast<std::streamsize>(frameMagic.size()));
    if (m_magic != frameMagic) {
        throw kaitai::validation_not_equal_error<std::string>(frameMagic, m_magic, m__io, "/seq/0");
    }
    m_frame = std::make_unique<compact_frame_t>(m__io, nullptr, nullptr);
}

}  // namespace ravo
