#include "blob/fork_sink.h"

#include <cstdio>

namespace brackenfold {

bool FileSink(void* context, const char* bytes, std::size_t count) {
  return std::fwrite(bytes, 1, count, static_cast<std::FILE*>(context)) ==
         count;
}

bool TextSink(void* context, const char* bytes, std::size_t count) {
  auto* text = static_cast<TextSinkContext*>(context);
  if (!text->enabled) return false;
  if (text->cursor > text->limit || count > text->limit - text->cursor) {
    return false;
  }
  if (text->cursor < text->target->size()) text->target->resize(text->cursor);
  text->target->append(bytes, count);
  text->cursor += count;
  return true;
}

}  // namespace brackenfold
