#include "Options.h"

#include <charconv>
#include <cmath>
#include <numeric>
#include <algorithm>
#include <stdexcept>
#include <tuple>

namespace vl::host {
namespace {

constexpr std::int64_t kMostFrames = 10'000'000'000;

[[noreturn]] void fail(const std::string& sentence) { throw std::runtime_error(sentence); }

std::int64_t wholeNumber(const std::string& text, const std::string& what) {
  std::int64_t v = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end || v < 0)
    fail(what + " must be a whole number of zero or more, not \"" + text + "\".");
  return v;
}

double seconds(const std::string& text, const std::string& what) {
  double v = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end || !std::isfinite(v) || v < 0)
    fail(what + " must be a number of seconds of zero or more, not \"" + text + "\".");
  return v;
}

// Digits with an optional fraction, read exactly as a fraction of integers.
bool decimal(const std::string& text, std::int64_t& num, std::int64_t& den) {
  const auto dot = text.find('.');
  const std::string whole = text.substr(0, dot);
  const std::string frac = dot == std::string::npos ? "" : text.substr(dot + 1);
  if (whole.empty() || whole.size() > 6 || frac.size() > 6 || (dot != std::string::npos && frac.empty())) return false;
  for (char c : whole + frac)
    if (c < '0' || c > '9') return false;
  num = std::stoll(whole + frac);
  den = 1;
  for (size_t i = 0; i < frac.size(); ++i) den *= 10;
  return true;
}

std::pair<int, int> size(const std::string& text) {
  const auto x = text.find('x');
  const std::string bad = "The size must be WIDTHxHEIGHT with both from 1 to 16384, not \"" + text + "\".";
  if (x == std::string::npos) fail(bad);
  std::int64_t w = 0, h = 0;
  try {
    w = wholeNumber(text.substr(0, x), "width");
    h = wholeNumber(text.substr(x + 1), "height");
  } catch (const std::runtime_error&) {
    fail(bad);
  }
  if (w < 1 || h < 1 || w > 16384 || h > 16384) fail(bad);
  return {static_cast<int>(w), static_cast<int>(h)};
}

// "FRAME:REST" of the -at forms.
std::pair<std::int64_t, std::string> atFrame(const std::string& text, const std::string& option) {
  const auto colon = text.find(':');
  if (colon == std::string::npos || colon == 0)
    fail("The option " + option + " takes FRAME:..., not \"" + text + "\".");
  return {wholeNumber(text.substr(0, colon), "The frame of " + option), text.substr(colon + 1)};
}

Edit setting(std::int64_t frame, const std::string& text, const std::string& option) {
  const auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0)
    fail("The option " + option + " takes NAME=VALUE, not \"" + text + "\".");
  return {frame, text.substr(0, eq), text.substr(eq + 1)};
}

Edit press(std::int64_t frame, const std::string& name, const std::string& option) {
  if (name.empty()) fail("The option " + option + " needs a button name.");
  return {frame, name, std::nullopt};
}

}  // namespace

Rate parseRate(const std::string& text) {
  std::int64_t num = 0, den = 1;
  const auto slash = text.find('/');
  bool ok = false;
  if (slash != std::string::npos) {
    try {
      num = wholeNumber(text.substr(0, slash), "rate");
      den = wholeNumber(text.substr(slash + 1), "rate");
      ok = num <= 10'000'000 && den <= 10'000'000;
    } catch (const std::runtime_error&) {
    }
  } else {
    ok = decimal(text, num, den);
  }
  if (!ok || den == 0 || num < den || num > 1000 * den)
    fail("The frame rate must be from 1 to 1000, as 25, 29.97 or 30000/1001, not \"" + text + "\".");
  // The rounded broadcast rates stand for the exact 1000/1001 ones.
  const double fps = static_cast<double>(num) / static_cast<double>(den);
  for (std::int64_t nominal : {24, 30, 48, 60, 120}) {
    const double exact = static_cast<double>(nominal) * 1000.0 / 1001.0;
    if (slash == std::string::npos && std::fabs(fps - exact) < 0.005) return {nominal * 1000, 1001};
  }
  const std::int64_t g = std::gcd(num, den);
  return {num / g, den / g};
}

Depth parseDepth(const std::string& text) {
  if (text == "byte") return Depth::Byte;
  if (text == "short") return Depth::Short;
  if (text == "half") return Depth::Half;
  if (text == "float") return Depth::Float;
  fail("The depth must be byte, short, half or float, not \"" + text + "\".");
}

Options parseOptions(const std::vector<std::string>& args, const std::string& defaultBundle) {
  Options o;
  o.bundle = defaultBundle;
  bool pattern = false;
  std::optional<std::int64_t> frames;
  std::optional<double> secs;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    std::optional<std::string> inlineValue;
    if (const auto eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = option.substr(eq + 1);
      option = option.substr(0, eq);
    }
    auto value = [&]() -> std::string {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) fail("The option " + option + " needs a value.");
      return args[++i];
    };
    auto flag = [&] {
      if (inlineValue) fail("The option " + option + " takes no value.");
    };
    if (option == "--help" || option == "-h") {
      flag();
      o.help = true;
    } else if (option == "--bundle") {
      o.bundle = value();
      if (o.bundle.empty()) fail("The option --bundle needs a path.");
    } else if (option == "--size") {
      std::tie(o.width, o.height) = size(value());
    } else if (option == "--depth") {
      o.depth = parseDepth(value());
    } else if (option == "--fps") {
      o.rate = parseRate(value());
    } else if (option == "--frames") {
      frames = wholeNumber(value(), "The number of frames");
      if (*frames == 0 || *frames > kMostFrames) fail("The number of frames must be from 1 to 10000000000.");
    } else if (option == "--seconds") {
      secs = seconds(value(), "The length");
      if (*secs == 0) fail("The length in seconds must be above 0.");
    } else if (option == "--realtime") {
      flag();
      o.realtime = true;
    } else if (option == "--sequence") {
      const std::string v = value();
      if (v != "interactive" && v != "export")
        fail("The sequence must be interactive or export, not \"" + v + "\".");
      o.interactive = v == "interactive";
    } else if (option == "--pattern") {
      flag();
      pattern = true;
    } else if (option == "--input") {
      o.input = value();
      if (o.input.empty()) fail("The option --input needs a file name, or - for standard input.");
    } else if (option == "--output") {
      o.output = value();
      if (o.output.empty()) fail("The option --output needs a file name, or - for standard output.");
    } else if (option == "--set") {
      o.edits.push_back(setting(-1, value(), option));
    } else if (option == "--set-at") {
      auto [frame, rest] = atFrame(value(), option);
      o.edits.push_back(setting(frame, rest, option));
    } else if (option == "--press") {
      o.edits.push_back(press(-1, value(), option));
    } else if (option == "--press-at") {
      auto [frame, rest] = atFrame(value(), option);
      o.edits.push_back(press(frame, rest, option));
    } else if (option == "--wait-after") {
      o.waitAfterSeconds = seconds(value(), "The wait after the last frame");
    } else if (option == "--strips") {
      const std::int64_t n = wholeNumber(value(), "The number of strips");
      if (n < 1 || n > 16384) fail("The number of strips must be from 1 to 16384.");
      o.strips = static_cast<int>(n);
    } else if (option == "--changes-on-write") {
      flag();
      o.changesOnWrite = true;
    } else if (option == "--preload") {
      o.preload.push_back(value());
      if (o.preload.back().empty()) fail("The option --preload needs a library path.");
    } else {
      fail("Unknown option \"" + args[i] + "\". Run with --help for the list.");
    }
  }
  if (frames && secs) fail("Give either --frames or --seconds, not both.");
  if (pattern && !o.input.empty()) fail("Give either --pattern or --input, not both.");
  if (secs) {
    const double n = std::round(*secs * o.rate.fps());
    if (n > static_cast<double>(kMostFrames)) fail("The length in seconds is too long.");
    frames = std::max<std::int64_t>(1, static_cast<std::int64_t>(n));
  }
  if (!frames && o.input.empty()) frames = static_cast<std::int64_t>(std::llround(10 * o.rate.fps()));
  o.frames = frames;
  if (o.frames) {
    for (const Edit& e : o.edits)
      if (e.frame >= *o.frames)
        fail("The edit of \"" + e.name + "\" at frame " + std::to_string(e.frame) + " lies past the last frame (" +
             std::to_string(*o.frames - 1) + ").");
  }
  if (o.bundle.empty()) fail("No bundle was built in; give one with --bundle.");
  return o;
}

const char* depthName(Depth depth) {
  switch (depth) {
    case Depth::Byte: return "OfxBitDepthByte";
    case Depth::Short: return "OfxBitDepthShort";
    case Depth::Half: return "OfxBitDepthHalf";
    case Depth::Float: break;
  }
  return "OfxBitDepthFloat";
}

int bytesPerSample(Depth depth) {
  switch (depth) {
    case Depth::Byte: return 1;
    case Depth::Short:
    case Depth::Half: return 2;
    case Depth::Float: break;
  }
  return 4;
}

std::size_t frameBytes(int width, int height, Depth depth) {
  return static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 4 *
         static_cast<std::size_t>(bytesPerSample(depth));
}

std::string usage() {
  return "Usage: veltrane-host [options]\n"
         "Plays a timeline through one instance of an OpenFX effect.\n"
         "  --bundle PATH          the plug-in binary or its .ofx.bundle folder (default: the built one)\n"
         "  --size WxH             picture size (1920x1080)\n"
         "  --depth D              byte, short, half or float (float)\n"
         "  --fps R                25, 29.97 (taken as 30000/1001) or 30000/1001 (25)\n"
         "  --frames N | --seconds S   timeline length (10 seconds, or the input's length)\n"
         "  --realtime             render each frame at its time on the clock, not as fast as possible\n"
         "  --sequence interactive|export   the kind of render sequence (interactive)\n"
         "  --pattern              a moving test pattern as the source (the default)\n"
         "  --input FILE|-         raw RGBA frames of the chosen size and depth, top row first\n"
         "  --output FILE|-        write the rendered frames the same way\n"
         "  --set NAME=VALUE       set a parameter before play; --set-at FRAME:NAME=VALUE during play\n"
         "  --press NAME           press a button before play; --press-at FRAME:NAME during play\n"
         "  --wait-after S         keep the instance alive S seconds after the last frame\n"
         "  --strips N             render each frame in N horizontal strips, one render call each\n"
         "  --changes-on-write     report the effect's own parameter writes back to it at once\n"
         "  --preload LIB          open LIB into the global scope first, as a host linked to it has it\n"
         "Summaries go to standard error, once a second and at the end.\n"
         "Exit status: 0 when every action succeeded, 1 when one failed, 2 for bad arguments.\n";
}

}  // namespace vl::host
