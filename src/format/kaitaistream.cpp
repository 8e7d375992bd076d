// Binary stream reader over one in-memory datagram, and the validation error family.
#include "format/kaitaistream.h"

#include <algorithm>
#include <bit>
#include <streambuf>

namespace kaitai {

namespace {

// Joins `n` bytes, the first one most significant.
uint64_t joinBigEndian(const char* bytes, int n) {
    uint64_t value = 0;
    for (int i = 0; i < n; ++i) {
        value = (value << 8) | static_cast<uint8_t>(bytes[i]);
    }
    return value;
}

// Joins `n` bytes, the first one least significant.
uint64_t joinLittleEndian(const char* bytes, int n) {
    uint64_t value = 0;
    for (int i = n - 1; i >= 0; --i) {
        value = (value << 8) | static_cast<uint8_t>(bytes[i]);
    }
    return value;
}

// Number of whole bytes that hold `bits` (> 0) bits.
int bytesForBits(int bits) { return (bits - 1) / 8 + 1; }

}  // namespace

kstream::kstream(const std::string& data)
    : m_io(&m_io_str), m_io_str(data, std::ios_base::in), m_owns_data(true) {
    init();
}

kstream::kstream(std::istream* io) : m_io(io) { init(); }

void kstream::init() {
    exceptions_enable();
    align_to_byte();
}

void kstream::close() {}

void kstream::exceptions_enable() const {
    m_io->exceptions(std::istream::eofbit | std::istream::failbit | std::istream::badbit);
}

bool kstream::is_eof() const {
    if (m_bits_left > 0) {
        return false;
    }
    // Peeking at the end sets eof/fail; only a bad stream may throw while we look.
    m_io->exceptions(std::istream::badbit);
    char probe;
    m_io->get(probe);
    bool atEnd = false;
    if (m_io->eof()) {
        m_io->clear();
        atEnd = true;
    } else {
        m_io->unget();
    }
    exceptions_enable();
    return atEnd;
}

void kstream::seek(uint64_t pos) { m_io->seekg(static_cast<std::streamoff>(pos)); }

uint64_t kstream::pos() const { return static_cast<uint64_t>(m_io->tellg()); }

uint64_t kstream::size() const {
    if (m_size >= 0) {
        return static_cast<uint64_t>(m_size);
    }
    const std::istream::pos_type current = m_io->tellg();
    m_io->seekg(0, std::istream::end);
    const std::istream::pos_type end = m_io->tellg();
    m_io->seekg(current);
    if (m_owns_data) {
        m_size = static_cast<int64_t>(end);
    }
    return static_cast<uint64_t>(end);
}

void kstream::read_exact(char* buffer, std::streamsize len) { m_io->read(buffer, len); }

// ---- whole bytes ----------------------------------------------------------------------------

uint8_t kstream::read_u1() {
    char b;
    read_exact(&b, 1);
    return static_cast<uint8_t>(b);
}

int8_t kstream::read_s1() { return static_cast<int8_t>(read_u1()); }

uint16_t kstream::read_u2le() {
    char b[2];
    read_exact(b, 2);
    return static_cast<uint16_t>(joinLittleEndian(b, 2));
}

uint32_t kstream::read_u4le() {
    char b[4];
    read_exact(b, 4);
    return static_cast<uint32_t>(joinLittleEndian(b, 4));
}

uint64_t kstream::read_u8le() {
    char b[8];
    read_exact(b, 8);
    return joinLittleEndian(b, 8);
}

uint16_t kstream::read_u2be() {
    char b[2];
    read_exact(b, 2);
    return static_cast<uint16_t>(joinBigEndian(b, 2));
}

uint32_t kstream::read_u4be() {
    char b[4];
    read_exact(b, 4);
    return static_cast<uint32_t>(joinBigEndian(b, 4));
}

uint64_t kstream::read_u8be() {
    char b[8];
    read_exact(b, 8);
    return joinBigEndian(b, 8);
}

// Signed reads reinterpret the unsigned value (two's complement, well defined since C++20).
int16_t kstream::read_s2le() { return static_cast<int16_t>(read_u2le()); }
int32_t kstream::read_s4le() { return static_cast<int32_t>(read_u4le()); }
int64_t kstream::read_s8le() { return static_cast<int64_t>(read_u8le()); }
int16_t kstream::read_s2be() { return static_cast<int16_t>(read_u2be()); }
int32_t kstream::read_s4be() { return static_cast<int32_t>(read_u4be()); }
int64_t kstream::read_s8be() { return static_cast<int64_t>(read_u8be()); }

float kstream::read_f4le() { return std::bit_cast<float>(read_u4le()); }
float kstream::read_f4be() { return std::bit_cast<float>(read_u4be()); }
double kstream::read_f8le() { return std::bit_cast<double>(read_u8le()); }
double kstream::read_f8be() { return std::bit_cast<double>(read_u8be()); }

// ---- bit fields -----------------------------------------------------------------------------

void kstream::align_to_byte() {
    m_bits_left = 0;
    m_bits = 0;
}

uint64_t kstream::read_bits_int_be(int n) {
    uint64_t result = 0;
    const int bitsNeeded = n - m_bits_left;
    m_bits_left = -bitsNeeded & 7;  // (left - n) mod 8 in two's complement
    if (bitsNeeded > 0) {
        const int bytesNeeded = bytesForBits(bitsNeeded);
        if (bytesNeeded > 8) {
            throw std::runtime_error("read_bits_int_be: more than 8 bytes requested");
        }
        char buffer[8];
        read_exact(buffer, bytesNeeded);
        const uint64_t raw = joinBigEndian(buffer, bytesNeeded);
        result = raw >> m_bits_left;
        if (bitsNeeded < 64) {
            result |= m_bits << bitsNeeded;
        }
        m_bits = raw;
    } else {
        result = m_bits >> -bitsNeeded;
    }
    m_bits &= (uint64_t{1} << m_bits_left) - 1;
    return result;
}

uint64_t kstream::read_bits_int(int n) { return read_bits_int_be(n); }

uint64_t kstream::read_bits_int_le(int n) {
    uint64_t result = 0;
    const int bitsNeeded = n - m_bits_left;
    if (bitsNeeded > 0) {
        const int bytesNeeded = bytesForBits(bitsNeeded);
        if (bytesNeeded > 8) {
            throw std::runtime_error("read_bits_int_le: more than 8 bytes requested");
        }
        char buffer[8];
        read_exact(buffer, bytesNeeded);
        const uint64_t raw = joinLittleEndian(buffer, bytesNeeded);
        result = (raw << m_bits_left) | m_bits;
        m_bits = bitsNeeded < 64 ? raw >> bitsNeeded : 0;
    } else {
        result = m_bits;
        m_bits >>= n;
    }
    m_bits_left = -bitsNeeded & 7;
    if (n < 64) {
        result &= (uint64_t{1} << n) - 1;
    }
    return result;
}

// ---- byte strings ---------------------------------------------------------------------------

std::string kstream::read_bytes(std::streamsize len) {
    if (len < 0) {
        throw std::runtime_error("read_bytes: requested a negative amount");
    }
    if (len == 0) {
        return {};
    }
    // A length beyond the data fails like a short read, before a buffer of that size exists.
    if (m_owns_data && static_cast<uint64_t>(len) > size() - pos()) {
        m_io->setstate(std::istream::eofbit | std::istream::failbit);  // throws
    }
    std::string result(static_cast<size_t>(len), '\0');
    read_exact(result.data(), len);
    return result;
}

std::string kstream::read_bytes_full() {
    return read_bytes(static_cast<std::streamsize>(size() - pos()));
}

// Reads up to the first `term`. Found: the result holds the bytes before it, plus `term` itself
// if `include`; with `consume` false, `term` stays in the stream for the next read. Reading goes
// straight to the buffer, so running out here leaves the stream state untouched.
std::string kstream::read_bytes_term(char term, bool include, bool consume, bool eos_error) {
    std::string result;
    std::streambuf* buffer = m_io->rdbuf();
    for (;;) {
        const int c = buffer->sbumpc();
        if (c == std::streambuf::traits_type::eof()) {
            if (eos_error) {
                throw std::runtime_error("read_bytes_term: encountered EOF");
            }
            return result;
        }
        if (static_cast<char>(c) == term) {
            if (include) {
                result.push_back(term);
            }
            if (!consume) {
                buffer->sungetc();
            }
            return result;
        }
        result.push_back(static_cast<char>(c));
    }
}

std::string kstream::ensure_fixed_contents(std::string expected) {
    std::string actual = read_bytes(static_cast<std::streamsize>(expected.size()));
    if (actual != expected) {
        throw std::runtime_error("ensure_fixed_contents: actual data does not match expected data");
    }
    return actual;
}

// ---- utilities ------------------------------------------------------------------------------

std::string kstream::bytes_strip_right(std::string src, char pad_byte) {
    size_t end = src.size();
    while (end > 0 && src[end - 1] == pad_byte) {
        --end;
    }
    src.resize(end);
    return src;
}

std::string kstream::bytes_terminate(std::string src, char term, bool include) {
    const size_t at = src.find(term);
    if (at != std::string::npos) {
        src.resize(include ? at + 1 : at);
    }
    return src;
}

std::string kstream::bytes_to_str(const std::string& src, const char* /*src_enc*/) { return src; }

std::string kstream::process_xor_one(std::string data, uint8_t key) {
    for (char& c : data) {
        c = static_cast<char>(static_cast<uint8_t>(c) ^ key);
    }
    return data;
}

std::string kstream::process_xor_many(std::string data, const std::string& key) {
    if (key.empty()) {
        return data;
    }
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<char>(static_cast<uint8_t>(data[i]) ^
                                    static_cast<uint8_t>(key[i % key.size()]));
    }
    return data;
}

std::string kstream::process_rotate_left(std::string data, int amount) {
    const int shift = ((amount % 8) + 8) % 8;
    for (char& c : data) {
        c = static_cast<char>(std::rotl(static_cast<uint8_t>(c), shift));
    }
    return data;
}

int kstream::mod(int a, int b) {
    if (b <= 0) {
        throw std::invalid_argument("mod: divisor b <= 0");
    }
    int r = a % b;
    if (r < 0) {
        r += b;
    }
    return r;
}

char* kstream::unsigned_to_decimal(uint64_t number, char* buffer) {
    char digits[20];  // 2^64 - 1 has 20 decimal digits
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    for (int i = 0; i < count; ++i) {
        buffer[i] = digits[count - 1 - i];
    }
    buffer[count] = '\0';
    return buffer;
}

std::string kstream::reverse(std::string s) {
    std::reverse(s.begin(), s.end());
    return s;
}

uint8_t kstream::byte_array_min(const std::string& s) {
    uint8_t lowest = 255;
    for (char c : s) {
        lowest = std::min(lowest, static_cast<uint8_t>(c));
    }
    return lowest;
}

uint8_t kstream::byte_array_max(const std::string& s) {
    uint8_t highest = 0;
    for (char c : s) {
        highest = std::max(highest, static_cast<uint8_t>(c));
    }
    return highest;
}

// ---- errors ---------------------------------------------------------------------------------

kstruct_error::kstruct_error(const std::string& what, const std::string& src_path)
    : std::runtime_error(src_path + ": " + what), m_src_path(src_path) {}

const char* kstruct_error::what() const noexcept { return std::runtime_error::what(); }

namespace {

std::string positionText(const kstream* io) {
    char digits[21];  // see unsigned_to_decimal
    return kstream::unsigned_to_decimal(io->pos(), digits);
}

}  // namespace

validation_failed_error::validation_failed_error(const std::string& what, kstream* io,
                                                 const std::string& src_path)
    : kstruct_error("at pos " + positionText(io) + ": validation failed: " + what, src_path),
      m_io(io) {}

}  // namespace kaitai
