// Receivers of extracted fork bytes. A ForkSink is called with 1 to 8192 bytes
// at a time and returns false to stop the extraction, which then fails.
#ifndef BRACKENFOLD_BLOB_FORK_SINK_H_
#define BRACKENFOLD_BLOB_FORK_SINK_H_

#include <cstddef>
#include <string>

namespace brackenfold {

using ForkSink = bool (*)(void* context, const char* bytes, std::size_t count);

// Context: a std::FILE* opened with mode "wb". True when every byte was
// written.
bool FileSink(void* context, const char* bytes, std::size_t count);

// The most a TextSink holds: descriptor texts are small, and a blob may not
// make the reader allocate more than this for one of them.
inline constexpr std::size_t kMaxTextSinkSize = 1 << 20;

// Context: a TextSinkContext. Refuses when disabled, or when the text would
// grow past limit; otherwise cuts the target at the cursor, appends the bytes
// and advances the cursor.
struct TextSinkContext {
  std::string* target;
  std::size_t cursor = 0;
  bool enabled = true;
  std::size_t limit = kMaxTextSinkSize;
};
bool TextSink(void* context, const char* bytes, std::size_t count);

}  // namespace brackenfold

#endif  // BRACKENFOLD_BLOB_FORK_SINK_H_
