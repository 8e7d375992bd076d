// The kinds under which the receiver counts a datagram it could not decode.
#include "format/parse_error.h"

const char* parseErrorKindName(ParseErrorKind kind) {
    switch (kind) {
        case ParseErrorKind::WrongMagic:
            return "wrong magic";
        case ParseErrorKind::UnsupportedVersion:
            return "unsupported version";
        case ParseErrorKind::Truncated:
            return "truncated";
        case ParseErrorKind::ObjectCap:
            return "object cap";
        case ParseErrorKind::Other:
            break;
    }
    return "other";
}

ParseErrorKind parseErrorKind(const compact::FrameError& error) {
    using Kind = compact::FrameError::Kind;
    switch (error.kind) {
        case Kind::WrongMagic:
            return ParseErrorKind::WrongMagic;
        case Kind::VersionBelow:
        case Kind::VersionAbove:
            return ParseErrorKind::UnsupportedVersion;
        case Kind::EndOfData:
        case Kind::CountBeyondData:
            return ParseErrorKind::Truncated;
        case Kind::TooManyObjects:
            return ParseErrorKind::ObjectCap;
    }
    return ParseErrorKind::Other;
}
