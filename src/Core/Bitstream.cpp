#include "Core/Bitstream.h"

#include "Core/Check.h"

#include <cstdint>
#include <stdexcept>

namespace vl {
namespace {

constexpr std::uint8_t kStartCode[] = {0, 0, 0, 1};
constexpr std::size_t kNone = SIZE_MAX;

// Slot of a parameter set in ParameterSets, or -1.
int slotOf(Codec codec, int type) {
  if (codec == Codec::h264) return type == 7 ? 0 : type == 8 ? 1 : -1;
  return type >= 32 && type <= 34 ? type - 32 : -1;
}

int slotCount(Codec codec) { return codec == Codec::h264 ? 2 : 3; }

}  // namespace

std::vector<ByteSpan> splitAnnexB(ByteSpan stream) {
  std::vector<ByteSpan> units;
  const std::size_t n = stream.size();
  std::size_t begin = kNone;
  std::size_t i = 0;
  auto finish = [&](std::size_t end) {
    if (begin == kNone) return;
    while (end > begin && stream[end - 1] == 0) --end;
    units.push_back(stream.subspan(begin, end - begin));
  };
  while (i + 2 < n) {
    if (stream[i] == 0 && stream[i + 1] == 0 && stream[i + 2] == 1) {
      finish(i);
      i += 3;
      begin = i;
    } else {
      ++i;
    }
  }
  finish(n);
  return units;
}

void appendNal(Bytes& out, ByteSpan nal) {
  out.insert(out.end(), std::begin(kStartCode), std::end(kStartCode));
  out.insert(out.end(), nal.begin(), nal.end());
}

void appendLengthPrefixed(Bytes& out, ByteSpan data, int fieldBytes) {
  const std::size_t field = static_cast<std::size_t>(fieldBytes);
  std::size_t offset = 0;
  while (offset < data.size()) {
    if (offset + field > data.size()) throw std::runtime_error("Truncated encoder NAL length");
    std::uint64_t length = 0;
    for (std::size_t k = 0; k < field; ++k) length = length << 8 | data[offset + k];
    offset += field;
    if (length > data.size() - offset) throw std::runtime_error("Truncated encoder NAL unit");
    appendNal(out, data.subspan(offset, static_cast<std::size_t>(length)));
    offset += static_cast<std::size_t>(length);
  }
}

int nalType(Codec codec, ByteSpan nal) {
  if (nal.empty()) return -1;
  return codec == Codec::h264 ? nal[0] & 0x1F : (nal[0] >> 1) & 0x3F;
}

bool isParameterSet(Codec codec, int type) { return slotOf(codec, type) >= 0; }

bool isRandomAccessPicture(Codec codec, int type) {
  return codec == Codec::h264 ? type == 5 : type >= 16 && type <= 21;
}

bool isDelimiterOrSei(Codec codec, int type) {
  return codec == Codec::h264 ? type == 9 || type == 6 : type == 35 || type == 39 || type == 40;
}

bool ParameterSets::remember(Codec codec, ByteSpan nal) {
  const int slot = slotOf(codec, nalType(codec, nal));
  if (slot < 0) return false;
  sets[static_cast<std::size_t>(slot)].assign(nal.begin(), nal.end());
  return true;
}

bool ParameterSets::complete(Codec codec) const {
  for (int s = 0; s < slotCount(codec); ++s)
    if (sets[static_cast<std::size_t>(s)].empty()) return false;
  return true;
}

AccessUnit reshapeAccessUnit(Codec codec, ByteSpan annexB, bool encoderKeyframe, ParameterSets& latest) {
  const std::vector<ByteSpan> units = splitAnnexB(annexB);
  AccessUnit unit{{}, encoderKeyframe};
  bool picture = false;
  for (ByteSpan nal : units) {
    const int type = nalType(codec, nal);
    if (isRandomAccessPicture(codec, type)) unit.keyframe = true;
    if (!isParameterSet(codec, type) && !isDelimiterOrSei(codec, type) && type >= 0) picture = true;
    latest.remember(codec, nal);
  }
  if (!picture) throw std::runtime_error("Encoder returned no frame");
  if (unit.keyframe) {
    if (!latest.complete(codec)) check(-1, "Encoder parameter sets unavailable");
    for (int s = 0; s < slotCount(codec); ++s) appendNal(unit.bytes, latest.sets[static_cast<std::size_t>(s)]);
  }
  for (ByteSpan nal : units) {
    const int type = nalType(codec, nal);
    if (type < 0 || isDelimiterOrSei(codec, type)) continue;
    // Sets inside a keyframe already lead it; elsewhere they stay where the encoder put them.
    if (unit.keyframe && isParameterSet(codec, type)) continue;
    appendNal(unit.bytes, nal);
  }
  return unit;
}

}  // namespace vl
