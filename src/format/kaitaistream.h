// Binary stream reader over one in-memory datagram, the base of every decoded object, and the
// validation error family that the frame decoder raises.
#pragma once

#include <cstdint>
#include <ios>
#include <istream>
#include <sstream>
#include <stdexcept>
#include <string>

namespace kaitai {

// Sequential reader of fixed-width integers, floats, bit fields and byte strings.
//
// Every read that cannot deliver all the bytes it asks for raises std::ios_base::failure (the
// end-of-data error; not a kstruct_error). The bytes present may have been consumed and the stream
// is then left in its failed state. Byte order is part of each operation's name. Bit reads keep up
// to 7 unread bits of a partly consumed byte; whole-byte reads neither look at nor clear them.
// Not copyable; not thread-safe.
class kstream {
  public:
    // Reads from a private copy of `data`. Position 0.
    explicit kstream(const std::string& data);
    // Reads from `io`, which the caller owns and which must outlive the reader.
    explicit kstream(std::istream* io);
    kstream(const kstream&) = delete;
    kstream& operator=(const kstream&) = delete;

    // Enables the failure exceptions and empties the bit buffer (both constructors end with it).
    void init();
    // Nothing to release: the reader owns only its in-memory copy.
    void close();
    // (Re)enables exceptions for end-of-file, failure and bad state on the source stream.
    void exceptions_enable() const;

    // True when no byte and no buffered bit is left to read.
    bool is_eof() const;
    // Moves to the absolute byte position `pos`.
    void seek(uint64_t pos);
    // Current byte position.
    uint64_t pos() const;
    // Total length of the data in bytes. For a reader over its own copy the value is taken once
    // and remembered (the data cannot change); for a caller's stream it is measured on every call.
    uint64_t size() const;

    int8_t read_s1();
    int16_t read_s2be();
    int32_t read_s4be();
    int64_t read_s8be();
    int16_t read_s2le();
    int32_t read_s4le();
    int64_t read_s8le();

    uint8_t read_u1();
    uint16_t read_u2be();
    uint32_t read_u4be();
    uint64_t read_u8be();
    uint16_t read_u2le();
    uint32_t read_u4le();
    uint64_t read_u8le();

    float read_f4be();
    double read_f8be();
    float read_f4le();
    double read_f8le();

    // Discards the buffered bits of a partly read byte.
    void align_to_byte();
    // The next n bits (1..64), most significant bit of each byte first; the last bit read is the
    // lowest bit of the result. Throws std::runtime_error for more than 8 bytes of need.
    uint64_t read_bits_int_be(int n);
    // Older name of read_bits_int_be, same behaviour and error text.
    uint64_t read_bits_int(int n);
    // The next n bits (1..64), least significant bit of each byte first.
    uint64_t read_bits_int_le(int n);

    // Exactly `len` bytes. Throws std::runtime_error for a negative `len` before anything is
    // allocated or read; raises the end-of-data error (without allocating) when fewer remain.
    std::string read_bytes(std::streamsize len);
    // All bytes from the current position to the end.
    std::string read_bytes_full();
    // Bytes up to the first `term`; see the .cpp for the meaning of the flags. At the end of the
    // data it throws std::runtime_error if `eos_error`, else returns what it read.
    std::string read_bytes_term(char term, bool include, bool consume, bool eos_error);
    // Reads expected.size() bytes; throws std::runtime_error if they differ from `expected`.
    std::string ensure_fixed_contents(std::string expected);

    // Byte-string utilities; none touches a stream.
    static std::string bytes_strip_right(std::string src, char pad_byte);
    static std::string bytes_terminate(std::string src, char term, bool include);
    // Returns `src` unchanged: byte strings and text share one representation here.
    static std::string bytes_to_str(const std::string& src, const char* src_enc);
    static std::string process_xor_one(std::string data, uint8_t key);
    // Byte i XOR key[i % key.size()]; an empty key leaves the data unchanged.
    static std::string process_xor_many(std::string data, const std::string& key);
    // Every byte rotated left by `amount` bits (taken modulo 8) within the byte.
    static std::string process_rotate_left(std::string data, int amount);
    // a modulo b in 0..b-1; throws std::invalid_argument when b <= 0.
    static int mod(int a, int b);
    // Writes the decimal digits of `number` and a terminating NUL into `buffer`, which must hold
    // at least 21 bytes (20 digits of 2^64-1 and the NUL). Returns `buffer`.
    static char* unsigned_to_decimal(uint64_t number, char* buffer);
    static std::string reverse(std::string s);
    // Smallest / largest byte as unsigned; 255 / 0 for an empty string.
    static uint8_t byte_array_min(const std::string& s);
    static uint8_t byte_array_max(const std::string& s);

  private:
    void read_exact(char* buffer, std::streamsize len);

    std::istream* m_io;           // every read goes here
    std::istringstream m_io_str;  // own copy for the string constructor, else empty
    int m_bits_left = 0;          // 0..7 unread bits of the last partly read byte
    uint64_t m_bits = 0;          // those bits, right-aligned
    mutable int64_t m_size = -1;  // remembered size() of the own copy; -1 until measured
    bool m_owns_data = false;     // m_io points at m_io_str
};

// Base of every decoded object. Holds the (non-owning) stream the object was read from.
class kstruct {
  public:
    explicit kstruct(kstream* io) : m__io(io) {}
    virtual ~kstruct() = default;

  protected:
    kstream* m__io;
};

// Root of the errors raised for a datagram whose content breaks the format.
// what() is "<src_path>: <message>".
class kstruct_error : public std::runtime_error {
  public:
    kstruct_error(const std::string& what, const std::string& src_path);
    ~kstruct_error() override = default;
    const char* what() const noexcept override;
    // Path of the failing field in the format description, e.g. "/seq/0".
    const std::string& src_path() const { return m_src_path; }

  protected:
    std::string m_src_path;
};

// A field failed its check. what() is "<src_path>: at pos <pos>: validation failed: <detail>",
// pos being io->pos() when the error is built (right after the field was read).
class validation_failed_error : public kstruct_error {
  public:
    validation_failed_error(const std::string& what, kstream* io, const std::string& src_path);
    ~validation_failed_error() override = default;
    kstream* io() const { return m_io; }

  protected:
    kstream* m_io;  // not owned
};

// The field differs from its required value. The values are kept, not printed.
template <typename T>
class validation_not_equal_error : public validation_failed_error {
  public:
    validation_not_equal_error(const T& expected, const T& actual, kstream* io,
                               const std::string& src_path)
        : validation_failed_error("not equal", io, src_path),
          m_expected(expected),
          m_actual(actual) {}
    ~validation_not_equal_error() override = default;
    const T& expected() const { return m_expected; }
    const T& actual() const { return m_actual; }

  protected:
    T m_expected;
    T m_actual;
};

// The field is below its minimum.
template <typename T>
class validation_less_than_error : public validation_failed_error {
  public:
    validation_less_than_error(const T& min, const T& actual, kstream* io,
                               const std::string& src_path)
        : validation_failed_error("not in range", io, src_path), m_min(min), m_actual(actual) {}
    ~validation_less_than_error() override = default;
    const T& min() const { return m_min; }
    const T& actual() const { return m_actual; }

  protected:
    T m_min;
    T m_actual;
};

// The field is above its maximum.
template <typename T>
class validation_greater_than_error : public validation_failed_error {
  public:
    validation_greater_than_error(const T& max, const T& actual, kstream* io,
                                  const std::string& src_path)
        : validation_failed_error("not in range", io, src_path), m_max(max), m_actual(actual) {}
    ~validation_greater_than_error() override = default;
    const T& max() const { return m_max; }
    const T& actual() const { return m_actual; }

  protected:
    T m_max;
    T m_actual;
};

}  // namespace kaitai
