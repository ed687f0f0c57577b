// The relay's line protocol: the input is a byte stream fed to Crelay_line_buf
// in pieces whose sizes the input chooses; every complete line goes through
// RelayParseLine and the reply formatters. Checked: the lines and oversize
// reports equal those of a plain split of the whole stream, whatever the
// pieces; parsed topics and texts lie inside the line and follow the rules;
// every reply fits kRelayMaxReply and ends in '\n'.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "relay_line.h"
#include "relay_proto.h"

namespace {

// What the line buffer should report: "L<line>" per line, "O" per oversize.
std::vector<std::string> ModelSplit(const std::string& s) {
  std::vector<std::string> events;
  std::size_t from = 0;
  for (;;) {
    const std::size_t nl = s.find('\n', from);
    if (nl == std::string::npos) {
      if (s.size() - from > kRelayMaxLine + 1) events.push_back("O");  // known too long already
      return events;
    }
    const std::string line = s.substr(from, nl - from);
    const std::size_t content = (!line.empty() && line.back() == '\r') ? line.size() - 1 : line.size();
    // A line longer than the buffer is reported as it overflows; one that fits
    // the buffer (a '\r' included) but not the limit when its end arrives.
    events.push_back(content > kRelayMaxLine ? "O" : "L" + line);
    from = nl + 1;
    if (events.back()[0] == 'L') {
      Srelay_request req;
      if (RelayParseLine(line.data(), static_cast<unsigned>(line.size()), req) == RELAY_CMD_QUIT) return events;
    }
  }
}

void CheckRequest(const char* line, unsigned len, const Srelay_request& req) {
  const unsigned content = (len > 0 && line[len - 1] == '\r') ? len - 1 : len;
  char reply[kRelayMaxReply];
  unsigned n = 0;
  switch (req.cmd) {
    case RELAY_CMD_EMPTY:
      FUZZ_CHECK(content == 0);
      return;
    case RELAY_CMD_PING:
      FUZZ_CHECK(content == 4);
      n = RelayFormatPong(reply, sizeof reply);
      break;
    case RELAY_CMD_QUIT:
      FUZZ_CHECK(content == 4);
      n = RelayFormatOk(reply, sizeof reply);
      break;
    case RELAY_CMD_SUB:
    case RELAY_CMD_UNSUB:
    case RELAY_CMD_PUB: {
      FUZZ_CHECK(req.topic > line && req.topic + req.topicLen <= line + content);
      FUZZ_CHECK(RelayIsValidTopic(req.topic, req.topicLen));
      FUZZ_CHECK(req.topic[-1] == ' ');
      if (req.cmd != RELAY_CMD_PUB) {
        FUZZ_CHECK(req.topic + req.topicLen == line + content && req.text == nullptr);
        n = RelayFormatOk(reply, sizeof reply);
        break;
      }
      FUZZ_CHECK(req.text == req.topic + req.topicLen + 1 && req.text + req.textLen == line + content);
      for (unsigned i = 0; i < req.textLen; ++i) {
        const unsigned char c = static_cast<unsigned char>(req.text[i]);
        FUZZ_CHECK(c == '\t' || (c >= 0x20 && c != 0x7F));
      }
      // The message to subscribers always fits, and says what was published.
      n = RelayFormatMsg(reply, sizeof reply, req.topic, req.topicLen, req.text, req.textLen);
      FUZZ_CHECK(n == 4 + req.topicLen + 1 + req.textLen + 1);
      FUZZ_CHECK(std::memcmp(reply, "MSG ", 4) == 0 && std::memcmp(reply + 4, req.topic, req.topicLen) == 0);
      FUZZ_CHECK(std::memcmp(reply + 5 + req.topicLen, req.text, req.textLen) == 0);
      // One byte short does not fit and writes nothing past the end.
      FUZZ_CHECK(RelayFormatMsg(reply, n - 1, req.topic, req.topicLen, req.text, req.textLen) == 0);
      break;
    }
    case RELAY_CMD_BAD:
      FUZZ_CHECK(req.reason != nullptr && content > 0);
      n = RelayFormatErr(reply, sizeof reply, req.reason);
      FUZZ_CHECK(n == 4 + std::strlen(req.reason) + 1);
      break;
  }
  FUZZ_CHECK(n > 0 && n <= sizeof reply && reply[n - 1] == '\n');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const std::string pieces = in.ConsumeRandomLengthString(64);
  // Long lines need long inputs; a repeat factor stretches the stream.
  const unsigned repeat = in.ConsumeIntegralInRange(1u, 3u);
  const std::string once = in.ConsumeRemainingBytesAsString();
  std::string stream;
  for (unsigned i = 0; i < repeat; ++i) stream += once;

  std::vector<std::string> events;
  Crelay_line_buf buf;
  auto onLine = [&](const char* line, unsigned len) {
    FUZZ_CHECK(len <= kRelayMaxLine + 1 && std::memchr(line, '\n', len) == nullptr);
    events.push_back("L" + std::string(line, len));
    Srelay_request req;
    const Erelay_cmd cmd = RelayParseLine(line, len, req);
    FUZZ_CHECK(cmd == req.cmd);
    CheckRequest(line, len, req);
    return cmd != RELAY_CMD_QUIT;
  };
  auto onOversize = [&]() { events.push_back("O"); };

  std::size_t at = 0;
  std::size_t k = 0;
  bool going = true;
  while (going && at < stream.size()) {
    std::size_t n = pieces.empty() ? stream.size() : static_cast<unsigned char>(pieces[k++ % pieces.size()]) * 8 + 1;
    n = std::min(n, stream.size() - at);
    going = buf.Feed(stream.data() + at, static_cast<unsigned>(n), onLine, onOversize);
    FUZZ_CHECK(buf.Pending() <= kRelayMaxLine + 1);
    at += n;
  }
  FUZZ_CHECK(events == ModelSplit(stream));
  return 0;
}
