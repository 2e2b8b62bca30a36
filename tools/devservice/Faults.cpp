#include "Faults.h"

#include <algorithm>
#include <chrono>
#include <memory>

namespace vl::dev {
namespace {

template <typename List, typename Key>
auto findPath(const List& list, const std::string& path, Key key) {
  return std::find_if(list.begin(), list.end(),
                      [&](const auto& entry) { return pathMatches(key(entry), path); });
}

const std::string& first(const std::pair<std::string, int>& e) { return e.first; }
const std::string& firstSize(const std::pair<std::string, std::size_t>& e) { return e.first; }
const std::string& self(const std::string& e) { return e; }

// Valid JSON of exactly `bytes` bytes, so a size test fails only on the size.
std::string hugeBody(std::size_t bytes) {
  const std::string head = "{\"pad\":\"";
  const std::string tail = "\"}";
  return head + std::string(bytes - head.size() - tail.size(), 'x') + tail;
}

}  // namespace

bool pathMatches(const std::string& pattern, const std::string& path) {
  if (!pattern.empty() && pattern.back() == '*')
    return path.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
  return pattern == path;
}

void installFaults(httplib::Server& server, const Faults& faults, Shutdown& shutdown) {
  server.set_pre_routing_handler([faults, &shutdown](const httplib::Request& req,
                                                     httplib::Response& res) {
    using Result = httplib::Server::HandlerResponse;
    const std::string& path = req.path;
    if (auto d = findPath(faults.delayMs, path, first); d != faults.delayMs.end()) {
      if (!shutdown.sleepFor(std::chrono::milliseconds(d->second))) {
        res.status = 503;
        return Result::Handled;
      }
    }
    if (auto f = findPath(faults.fail, path, first); f != faults.fail.end()) {
      res.status = f->second;
      res.set_content("{\"error\":\"injected\",\"status\":" + std::to_string(f->second) + "}",
                      "application/json");
      return Result::Handled;
    }
    if (auto h = findPath(faults.hugeBytes, path, firstSize); h != faults.hugeBytes.end()) {
      res.set_content(hugeBody(h->second), "application/json");
      return Result::Handled;
    }
    if (findPath(faults.garbage, path, self) != faults.garbage.end()) {
      res.set_content("{\"streams\": [{\"viewerId\": \"dev-main\", \"label\": tru",
                      "application/json");
      return Result::Handled;
    }
    if (findPath(faults.redirect, path, self) != faults.redirect.end()) {
      res.set_redirect("/moved" + path, 302);
      return Result::Handled;
    }
    if (findPath(faults.endless, path, self) != faults.endless.end()) {
      auto chunk = std::make_shared<std::string>();
      *chunk = "{\"streams\":[";
      res.set_chunked_content_provider(
          "application/json", [chunk, &shutdown](std::size_t, httplib::DataSink& sink) {
            // Paced, so an endless answer does not eat a shared machine's CPU.
            if (!shutdown.sleepFor(std::chrono::milliseconds(5))) return false;
            if (!sink.write(chunk->data(), chunk->size())) return false;
            if (chunk->size() < 16384) {
              chunk->clear();
              while (chunk->size() < 16384) *chunk += "{\"viewerId\":\"dev-endless\"},";
            }
            return true;
          });
      return Result::Handled;
    }
    return Result::Unhandled;
  });
}

}  // namespace vl::dev
