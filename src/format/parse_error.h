// The kinds under which the receiver counts a datagram it could not decode.
#pragma once

#include <cstddef>

#include "format/frame_view.h"

// Why a datagram could not be decoded, as the receiver reports it.
enum class ParseErrorKind : size_t {
    WrongMagic,          // not a Compact frame: the first four bytes are wrong
    UnsupportedVersion,  // a telegram version other than 3 or 4
    Truncated,           // the data ends before the frame, or a count promises more than is left
    ObjectCap,           // the frame would decode to more objects than one datagram may hold
    Other,
};
inline constexpr size_t parseErrorKindCount = 5;

// "wrong magic", "unsupported version", "truncated", "object cap", "other".
const char* parseErrorKindName(ParseErrorKind kind);

// The kind of a refusal of the frame view.
ParseErrorKind parseErrorKind(const compact::FrameError& error);
