// qiv-test-cdn: a content-delivery network for tests, on loopback only.
//
// Start:  qiv-test-cdn --root DIR --addr 127.0.0.2 [--addr 127.0.0.3 ...] [--port N]
//   Serves the files below DIR on every given address, all on the same port
//   (N, or a free one chosen at start). When every listener is up it prints
//   one line "READY <port>" on standard output. SIGTERM or SIGINT stop it:
//   every open connection is cut, every thread joined, exit code 0.
//
// POST to any path reads the body and answers 200 "OK" (rules apply first).
// Files: GET and HEAD of "/<path below DIR>" (percent escapes decoded; ".."
//   refused). "Range: bytes=A-B" or "bytes=A-" gives 206 with Content-Range;
//   a start past the end gives 416. Every answer carries "Connection: close"
//   and the server closes after it. Bodies go out with sendfile(), one thread
//   per connection, unless a rule slows or cuts them.
//
// Control: plain HTTP GET on the same port and any of the addresses, path
//   prefix "/__cdn/". Answers are 200 with a text body ("OK\n" for commands).
//
//   /__cdn/rule?addr=A&file=F&KEY=VALUE...
//       Sets the rule for address A (dotted, or "*" for all) and file F (the
//       request path, percent-encoded, or "*" for all), replacing an earlier
//       rule for the same pair. A request uses the most specific rule:
//       (addr, file), then (addr, *), then (*, file), then (*, *). Keys:
//         ranges=0          ignore Range headers: always 200 with the whole file
//         length=0          leave Content-Length out
//         case=lower|upper  spell every header name in that case
//         redirect=L        answer redirect_code (default 302) with "Location: L"
//         redirect_code=N
//         rate=N            send at most N body bytes per second per connection
//         trickle=1         the same as rate=512 (below 1 KiB/s)
//         reset_after=N     cut the connection with a reset after N body bytes
//         size=N            report N as the file's size (Content-Length and
//                           Content-Range); the body still comes from the file
//         status=N          answer status N with a short text body
//         hang=1            read the request and never answer (until the
//                           client leaves or the server stops)
//   /__cdn/clear            removes every rule and the request log
//   /__cdn/log              the request log, one finished request a line:
//                           "<id> <addr> <method> <path> <status> <range> <body bytes sent>"
//                           (<range> is the Range header without blanks, or "-").
//                           Waits (up to 2 s) until no other request is in flight.
#pragma once

namespace qiv::testing {
constexpr const char kCdnControlPrefix[] = "/__cdn/";
}  // namespace qiv::testing
