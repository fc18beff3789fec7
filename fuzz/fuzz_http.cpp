// The HTTP response head reader, fed the same bytes whole and in chunks the input chooses: both
// must end in the same state with the same status and status line.
//
// Input: one byte n, then n chunk sizes (one byte each, 0 meaning 1), then the response bytes.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/HttpClient.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t count = data[0];
  ++data, --size;
  if (count > size) count = size;
  std::vector<size_t> chunks(data, data + count);
  data += count, size -= count;
  const char* text = reinterpret_cast<const char*>(data);

  qm::HttpResponseHead whole;
  const auto wholeState = whole.Feed(text, size);

  qm::HttpResponseHead pieces;
  auto state = qm::HttpResponseHead::State::kNeedMore;
  size_t at = 0;
  for (size_t i = 0; at < size && state == qm::HttpResponseHead::State::kNeedMore; ++i) {
    size_t n = chunks.empty() ? 1 : chunks[i % chunks.size()];
    if (n == 0) n = 1;
    if (n > size - at) n = size - at;
    state = pieces.Feed(text + at, n);
    at += n;
  }
  if (state != wholeState || pieces.Status() != whole.Status() || pieces.StatusLine() != whole.StatusLine()) {
    std::fprintf(stderr, "http harness: chunked reading differs from whole reading\n");
    std::abort();
  }
  if (state == qm::HttpResponseHead::State::kDone && (whole.Status() < 100 || whole.Status() > 999)) {
    std::fprintf(stderr, "http harness: a finished head with status %d\n", whole.Status());
    std::abort();
  }
  // Feeding more after the end changes nothing.
  if (state != qm::HttpResponseHead::State::kNeedMore) {
    const int status = pieces.Status();
    if (pieces.Feed("HTTP/1.0 500 X\r\n\r\n", 18) != state || pieces.Status() != status) {
      std::fprintf(stderr, "http harness: the reader changed after the head ended\n");
      std::abort();
    }
  }
  return 0;
}
