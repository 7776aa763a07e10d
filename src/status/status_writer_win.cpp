#include <windows.h>

#include "base/clock_win.h"
#include "base/data_directory.h"
#include "base/locations_win.h"
#include "base/mutex.h"
#include "base/win_text.h"
#include "protocol/status_document.h"
#include "status/status_writer.h"

namespace tolm {

namespace {

// Writers within this process, and the read-back of a status request, take turns: a reader never
// meets a document this process is half-way through writing.
Mutex status_mutex;

// The data directory's copy goes through its guard; the other locations are folders users cannot
// turn into links, and each file is written without following one, and never into a file someone
// else made there first. `read_back`, when given, receives what the file holds once written, read
// through the handle that was judged and written.
bool write_location(std::size_t index, const std::string& path, std::string_view document,
                    std::string* read_back = nullptr) {
  if (index == kStatusInDataDirectory && !data_directory().ready(true)) return false;
  return write_whole_file(path, document, {.read_back = read_back});
}

void write_locations(std::string_view document, std::size_t count) TOLM_REQUIRES(status_mutex) {
  const std::vector<std::string> paths = status_file_paths();
  for (std::size_t i = 0; i < paths.size() && i < count; ++i) {
    (void)write_location(i, paths[i], document);  // every location is tried, whatever happened
  }
}

std::string worker_document(const StatusSnapshot& s) {
  return format_worker_status(s.desktop_name, s.has_frame, s.seq, now_unix_ms(), s.note);
}

}  // namespace

void write_status(const StatusSnapshot& snapshot) {
  const std::string document = worker_document(snapshot);
  const MutexLock lock(status_mutex);
  write_locations(document, kWorkerStatusLocations);
}

void write_service_status(std::string_view note) {
  const std::string document = format_service_status(note, now_unix_ms());
  const MutexLock lock(status_mutex);
  write_locations(document, kServiceStatusLocations);
}

std::optional<std::string> write_and_read_back_status(const StatusSnapshot& snapshot) {
  const std::string document = worker_document(snapshot);
  const MutexLock lock(status_mutex);
  // Only a file this call has just judged its own and written is an answer: a file someone else
  // holds or made first is never read back, whatever it says.
  std::optional<std::string> answer;
  const std::vector<std::string> paths = status_file_paths();
  for (std::size_t i = 0; i < paths.size() && i < kWorkerStatusLocations; ++i) {
    std::string bytes;
    const bool first = !answer;
    if (!write_location(i, paths[i], document, first ? &bytes : nullptr) || !first) continue;
    // Another of the helper's processes may be rewriting the file in place: a document it has not
    // finished, or a shorter one over a longer one's tail, is no answer. A whole one has one line
    // feed, at its end.
    const bool whole = !bytes.empty() && bytes.find('\n') == bytes.size() - 1;
    answer = whole ? std::move(bytes) : std::string(document);
  }
  return answer;
}

}  // namespace tolm
