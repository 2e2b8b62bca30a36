#include "Options.h"

#include <charconv>
#include <limits>
#include <stdexcept>

namespace vl::dev {
namespace {

template <typename Int>
Int number(const std::string& text, Int low, Int high, const std::string& option) {
  Int value{};
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
      value > high)
    throw std::runtime_error("The value \"" + text + "\" of " + option + " must be a number from " +
                             std::to_string(low) + " to " + std::to_string(high) + ".");
  return value;
}

std::string path(const std::string& text, const std::string& option) {
  if (text.empty() || text.front() != '/')
    throw std::runtime_error("The path of " + option + " must begin with \"/\", not \"" + text +
                             "\".");
  return text;
}

// "PATH=VALUE", split at the last "=" so that paths keep any of their own.
std::pair<std::string, std::string> pathValue(const std::string& text, const std::string& option,
                                              bool valueRequired) {
  auto at = text.rfind('=');
  if (at == std::string::npos) {
    if (valueRequired)
      throw std::runtime_error(option + " needs PATH=VALUE, not \"" + text + "\".");
    return {path(text, option), ""};
  }
  return {path(text.substr(0, at), option), text.substr(at + 1)};
}

}  // namespace

Options parseOptions(const std::vector<std::string>& args) {
  Options o;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool inlineValue = false;
    if (auto eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      inlineValue = true;
    }
    auto flag = [&] {
      if (inlineValue) throw std::runtime_error(name + " takes no value.");
    };
    auto next = [&]() -> std::string {
      if (inlineValue) return value;
      if (i + 1 >= args.size()) throw std::runtime_error(name + " needs a value.");
      return args[++i];
    };
    constexpr int maxInt = std::numeric_limits<int>::max();
    if (name == "--help" || name == "-h") {
      flag();
      o.help = true;
    } else if (name == "--port") {
      o.port = number(next(), 0, 65535, name);
    } else if (name == "--ingest-port") {
      o.ingestPort = number(next(), 0, 65535, name);
    } else if (name == "--target-port") {
      o.targetPort = number(next(), 0, 65535, name);
    } else if (name == "--record-dir") {
      o.recordDir = next();
      if (o.recordDir.empty()) throw std::runtime_error("--record-dir needs a folder.");
    } else if (name == "--email") {
      o.email = next();
    } else if (name == "--password") {
      o.password = next();
    } else if (name == "--token") {
      std::string token = next();
      if (token.empty() || token.find_first_of(" \t\r\n") != std::string::npos)
        throw std::runtime_error("--token needs a non-empty token without white space.");
      o.tokens.push_back(token);
    } else if (name == "--interval") {
      o.intervalS = number(next(), 0, 3600, name);
    } else if (name == "--expires") {
      o.expiresS = number(next(), 0, 86400, name);
    } else if (name == "--auto-approve") {
      flag();
      o.autoApprove = true;
    } else if (name == "--max-bitrate") {
      o.maxBitrateBps = number<std::uint64_t>(next(), 0, std::numeric_limits<std::uint64_t>::max(),
                                              name);
    } else if (name == "--max-width") {
      o.maxWidth = number(next(), 0, maxInt, name);
    } else if (name == "--max-height") {
      o.maxHeight = number(next(), 0, maxInt, name);
    } else if (name == "--log") {
      flag();
      o.log = true;
    } else if (name == "--fail") {
      auto [p, v] = pathValue(next(), name, true);
      o.faults.fail.emplace_back(p, number(v, 100, 599, name));
    } else if (name == "--delay") {
      auto [p, v] = pathValue(next(), name, true);
      o.faults.delayMs.emplace_back(p, number(v, 0, 600'000, name));
    } else if (name == "--huge") {
      auto [p, v] = pathValue(next(), name, false);
      std::size_t bytes = clientBodyLimitBytes + 1;
      if (!v.empty()) bytes = number<std::size_t>(v, 16, 256 * 1024 * 1024, name);
      o.faults.hugeBytes.emplace_back(p, bytes);
    } else if (name == "--endless") {
      o.faults.endless.push_back(path(next(), name));
    } else if (name == "--garbage") {
      o.faults.garbage.push_back(path(next(), name));
    } else if (name == "--redirect") {
      o.faults.redirect.push_back(path(next(), name));
    } else {
      throw std::runtime_error("Unknown option \"" + args[i] + "\"; see --help.");
    }
  }
  return o;
}

const char* usage() {
  return R"(usage: veltrane-devservice [options]
Serves the veltrane account API on 127.0.0.1 for development and tests and
prints "listening http://127.0.0.1:PORT" once it accepts connections, then
"ingest srt://127.0.0.1:PORT" for the SRT ingest; GET /dev/ingest reports what
the ingest received.

  --port N             HTTP port (0, the default, picks a free one)
  --ingest-port N      SRT ingest port named in stream targets (0 picks a free one)
  --target-port N      SRT port named in stream targets instead of the ingest's,
                       for a relay in front of it
  --record-dir DIR     where the ingest records each connection as N.ts
                       (default: a fresh folder in the temporary directory)
  --email TEXT         password sign-in e-mail (dev@veltrane.invalid)
  --password TEXT      password sign-in password (veltrane-dev)
  --token TOKEN        a token that is valid from the start (repeatable)
  --interval S         device-code polling interval in seconds (2)
  --expires S          device-code lifetime in seconds (300)
  --auto-approve       approve every device code as soon as it is issued
  --max-bitrate BPS    stream bit-rate limit, 0 for none (20000000)
  --max-width PX       stream width limit, 0 for none (3840)
  --max-height PX      stream height limit, 0 for none (2160)
  --log                one line per request on stderr
Misbehaviour for tests (repeatable; a PATH ending in * matches by prefix):
  --fail PATH=STATUS   answer with that HTTP status
  --delay PATH=MS      wait before answering
  --huge PATH[=BYTES]  a JSON body of that size (default 2 MiB + 1 byte)
  --endless PATH       a streamed body that never ends
  --garbage PATH       malformed JSON
  --redirect PATH      a 302 redirect
)";
}

}  // namespace vl::dev
