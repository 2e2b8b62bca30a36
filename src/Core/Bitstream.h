#pragma once
// Reshaping encoder output into the access units the muxer takes: four-byte start
// codes, parameter sets leading every keyframe, none of the encoder's own AUD or SEI.
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vl {

enum class Codec { h264, hevc };

using Bytes = std::vector<std::uint8_t>;
using ByteSpan = std::span<const std::uint8_t>;

// The NAL units of an Annex B stream (three- or four-byte start codes), without
// their start codes and trailing zero bytes. Bytes before the first start code are skipped.
std::vector<ByteSpan> splitAnnexB(ByteSpan stream);

// Appends 00 00 00 01 and the unit.
void appendNal(Bytes& out, ByteSpan nal);

// Appends length-prefixed NAL units (big-endian length fields of fieldBytes bytes)
// in Annex B form. Throws "Truncated encoder NAL length" or "Truncated encoder NAL unit".
void appendLengthPrefixed(Bytes& out, ByteSpan data, int fieldBytes);

int nalType(Codec codec, ByteSpan nal);  // -1 for an empty unit
bool isParameterSet(Codec codec, int type);
bool isRandomAccessPicture(Codec codec, int type);  // IDR (and for HEVC, BLA and CRA)
bool isDelimiterOrSei(Codec codec, int type);

// The latest parameter set of each kind, in the order they lead a keyframe:
// SPS, PPS for H.264; VPS, SPS, PPS for HEVC.
struct ParameterSets {
  std::array<Bytes, 3> sets;
  // Keeps the unit if it is a parameter set; tells whether it was one.
  bool remember(Codec codec, ByteSpan nal);
  bool complete(Codec codec) const;
};

struct AccessUnit {
  Bytes bytes;
  bool keyframe = false;
};

// One encoded picture in Annex B form to the access unit handed on. The keyframe flag
// is the encoder's, or set when the picture is a random-access one. On keyframes the
// parameter sets lead (from the picture itself or the latest seen), then the picture's
// other units in order. Throws "Encoder parameter sets unavailable (-1)" when a keyframe's
// sets are not known, and "Encoder returned no frame" when no picture data remain.
AccessUnit reshapeAccessUnit(Codec codec, ByteSpan annexB, bool encoderKeyframe, ParameterSets& latest);

}  // namespace vl
