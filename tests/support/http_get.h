// A plain HTTP/1.0 GET on loopback, for the tests that ask a real server (Prometheus,
// node_exporter) what it serves. Bounded in time.
#pragma once

#include <chrono>
#include <string>

namespace tarnexio_test {

struct HttpReply {
  int status = 0;    // 0: no answer (refused, cut short, timed out)
  std::string body;
};

// GETs target ("/metrics") from 127.0.0.1:port within timeout (times the tests' time scale).
HttpReply HttpGet(int port, const std::string& target, std::chrono::milliseconds timeout);

// target's query part with value percent-encoded, for PromQL in a URL.
std::string UrlEncoded(const std::string& value);

}  // namespace tarnexio_test
