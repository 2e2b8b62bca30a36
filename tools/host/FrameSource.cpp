#include "FrameSource.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace vl::host {
namespace {

std::string reason() { return std::strerror(errno); }

std::uint8_t* imageRow(const PropertySet& image, int r) {
  return static_cast<std::uint8_t*>(image.pointer("OfxImagePropData")) +
         static_cast<std::ptrdiff_t>(r) * image.integer("OfxImagePropRowBytes");
}

}  // namespace

void putFrame(const std::vector<std::uint8_t>& frame, int height, const PropertySet& image) {
  const size_t rowBytes = frame.size() / static_cast<size_t>(height);
  for (int r = 0; r < height; ++r)
    std::memcpy(imageRow(image, r), frame.data() + static_cast<size_t>(height - 1 - r) * rowBytes, rowBytes);
}

void takeFrame(const PropertySet& image, int height, std::vector<std::uint8_t>& frame, int y1, int y2) {
  const size_t rowBytes = frame.size() / static_cast<size_t>(height);
  for (int r = y1; r < (y2 < 0 ? height : y2); ++r)
    std::memcpy(frame.data() + static_cast<size_t>(height - 1 - r) * rowBytes, imageRow(image, r), rowBytes);
}

void FileCloser::operator()(std::FILE* f) const {
  if (f != stdin && f != stdout) std::fclose(f);
}

FrameSource::FrameSource(int width, int height, Depth depth, const std::string& input)
    : width_(width), height_(height), depth_(depth), name_(input == "-" ? "standard input" : input) {
  if (input.empty()) {
    pattern_.emplace(width, height, depth);
    return;
  }
  file_.reset(input == "-" ? stdin : std::fopen(input.c_str(), "rb"));
  if (!file_) throw std::runtime_error("Cannot open the input " + input + ": " + reason() + ".");
}

bool FrameSource::next(std::vector<std::uint8_t>& frame) {
  frame.resize(frameBytes(width_, height_, depth_));
  if (!file_) {
    pattern_->draw(produced_++, frame.data());
    return true;
  }
  const size_t got = std::fread(frame.data(), 1, frame.size(), file_.get());
  if (got == frame.size()) {
    ++produced_;
    return true;
  }
  if (std::ferror(file_.get()) != 0)
    throw std::runtime_error("Cannot read frame " + std::to_string(produced_) + " from " + name_ + ": " + reason() + ".");
  if (got == 0) return false;
  throw std::runtime_error("The input " + name_ + " ends inside frame " + std::to_string(produced_) + ": " +
                           std::to_string(got) + " of " + std::to_string(frame.size()) +
                           " bytes; is the size or depth right?");
}

FrameSink::FrameSink(const std::string& output) : name_(output == "-" ? "standard output" : output) {
  file_.reset(output == "-" ? stdout : std::fopen(output.c_str(), "wb"));
  if (!file_) throw std::runtime_error("Cannot open the output " + output + ": " + reason() + ".");
}

void FrameSink::write(const std::vector<std::uint8_t>& frame) {
  if (std::fwrite(frame.data(), 1, frame.size(), file_.get()) != frame.size())
    throw std::runtime_error("Cannot write to " + name_ + ": " + reason() + ".");
}

void FrameSink::close() {
  if (!file_) return;
  const bool ok = std::fflush(file_.get()) == 0;
  std::FILE* f = file_.release();
  const bool closed = (f == stdout) || std::fclose(f) == 0;
  if (!ok || !closed) throw std::runtime_error("Cannot finish writing " + name_ + ": " + reason() + ".");
}

}  // namespace vl::host
