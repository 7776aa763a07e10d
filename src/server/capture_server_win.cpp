#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/files.h"
#include "base/handles.h"
#include "base/io_deadline.h"
#include "base/locations.h"
#include "base/mutex.h"
#include "base/security_win.h"
#include "base/text.h"
#include "base/threads.h"
#include "base/win_text.h"
#include "capture/capture_system_win.h"
#include "capture/control_files_win.h"
#include "capture/frame_grabber.h"
#include "capture/section_pixels_win.h"
#include "protocol/answer.h"
#include "protocol/request.h"
#include "server/access_token_win.h"
#include "server/capture_server.h"
#include "status/status_writer.h"

namespace tolm {

namespace {

constexpr DWORD kWritePieceBytes = 65536;
constexpr DWORD kRetryCreateMs = 100;
// While another account holds the name, tries come at most this far apart: each one is a new
// instance that the holder's clients could meet, so they are spaced out, but not so far that the
// name stays unserved long after it is free again.
constexpr DWORD kMaxRetryHeldMs = 1600;

// Writes the parts one after another; stops at the first failed or empty write.
void write_response(HANDLE pipe, std::initializer_list<std::string_view> parts) {
  for (const std::string_view bytes : parts) {
    if (!write_in_pieces(pipe, bytes, kWritePieceBytes)) return;
  }
}

std::string status_response(const CaptureState& state) {
  return write_and_read_back_status(state.status_snapshot())
      .value_or(std::string(kEmptyStatusResponse));
}

// The stored frame; before the first publication, a grab of the input desktop made under the
// frame lock, so that no publication overtakes it. A stored frame is never changed, so its pixels
// are sent from where they are, outside the lock and without a copy.
std::shared_ptr<const Frame> frame_for(const CaptureState& state) {
  return state.copy_frame_or([]() -> std::shared_ptr<const Frame> {
    const CaptureTarget target = read_capture_target();
    GrabResult grabbed =
        FrameGrabber().grab(std::nullopt, target.width, target.height, read_display_index());
    if (!grabbed.frame) return nullptr;
    return std::make_shared<const Frame>(*std::move(grabbed.frame));
  });
}

// After a quiet spell the loop has slowed down and grabs nothing: the frame it holds is older than
// the request, which wakes it. The frame to send is then the first one published after `request`.
std::optional<std::uint32_t> held_at(const CaptureState& state) {
  const std::shared_ptr<const Frame> current = state.copy_frame();
  return current ? std::optional<std::uint32_t>(current->number) : std::nullopt;
}

// A plain frame request: the newest frame, as it always was.
std::uint32_t answer_frame(HANDLE pipe, CaptureState& state) {
  std::shared_ptr<const Frame> frame;
  if (state.note_frame_request()) {
    frame = state.wait_for_frame_other_than(held_at(state),
                                            std::chrono::milliseconds(kMaxStreamWaitMs));
  }
  if (!frame) frame = frame_for(state);
  if (!frame) {
    write_response(pipe, {kNoFrameResponse});
    return kRefusalDrainMs;
  }
  const auto& pixels = frame->pixels;
  const FrameHeader header{frame->width, frame->height, frame->stride,
                           static_cast<std::uint32_t>(pixels.size())};
  write_response(pipe, {encode_frame_header(header),
                        {reinterpret_cast<const char*>(pixels.data()), pixels.size()}});
  return kResponseDrainMs;
}

// Sections given to clients, with the frame each holds and which clients hold it. A client holds
// the frame it names in its next stream request and lets go of the others it was given. A section
// no client holds, whose frame is gone, and of which the system knows no handle or view but this
// process's, goes back to the grabs; so that a client that keeps what it is given cannot make the
// helper keep more, the helper lets go of the oldest beyond a few.
class Handouts {
 public:
  void given(const std::shared_ptr<PixelMemory>& memory, std::uint32_t number, ULONG client)
      TOLM_EXCLUDES(mutex_) {
    const MutexLock lock(mutex_);
    auto it = std::find_if(given_.begin(), given_.end(),
                           [&](const Given& g) { return g.memory == memory; });
    if (it == given_.end()) it = given_.insert(given_.end(), {memory, number, {}});
    it->clients.push_back(client);
    while (given_.size() > kMaxHandouts) given_.pop_front();
  }

  void held(ULONG client, std::uint32_t number, CaptureState& state) TOLM_EXCLUDES(mutex_) {
    const MutexLock lock(mutex_);
    for (auto it = given_.begin(); it != given_.end();) {
      if (it->number != number) std::erase(it->clients, client);
      // The frame gone (this is the last reference), no client holding it by its word or the
      // system's.
      if (it->clients.empty() && it->memory.use_count() == 1 && only_ours(*it->memory)) {
        state.recycle(std::move(it->memory));
        it = given_.erase(it);
      } else {
        ++it;
      }
    }
  }

 private:
  static constexpr std::size_t kMaxHandouts = 8;
  struct Given {
    std::shared_ptr<PixelMemory> memory;
    std::uint32_t number = 0;
    std::vector<ULONG> clients;
  };
  Mutex mutex_;
  std::deque<Given> given_ TOLM_GUARDED_BY(mutex_);
};

// The process at the other end of `pipe`; 0 when the system does not say.
ULONG client_of(HANDLE pipe) {
  ULONG client = 0;
  return GetNamedPipeClientProcessId(pipe, &client) ? client : 0;
}

// Gives the process at the other end of `pipe` (the one the pipe names, whatever the request says)
// a handle of its own to the section that holds `frame`, with read access only, and says so in
// `header`. False when the frame is in no section, or the handle cannot be given: the pixels then
// go in the answer.
bool hand_over_section(HANDLE pipe, const Frame& frame, NextHeader& header, Handouts& handouts) {
  const HANDLE section = section_of(frame.pixels);
  const ULONG client_id = client_of(pipe);
  if (section == nullptr || client_id == 0) return false;
  // Not written again, nor kept for another grab, from the moment a client may hold it.
  frame.pixels.memory()->set_handed_out(true);
  handouts.given(frame.pixels.memory(), frame.number, client_id);
  HANDLE given = nullptr;
  {
    const UniqueHandle client(OpenProcess(PROCESS_DUP_HANDLE, FALSE, client_id));
    if (!client || !DuplicateHandle(GetCurrentProcess(), section, client.get(), &given,
                                    FILE_MAP_READ, FALSE, 0)) {
      return false;
    }
  }
  header.payload = Payload::kShared;
  header.payload_bytes = 0;
  header.section = reinterpret_cast<std::uintptr_t>(given);
  header.section_bytes = frame.pixels.size();
  return true;
}

// A stream request: the first frame other than the one the client holds, with what changed since.
std::uint32_t answer_stream(HANDLE pipe, CaptureState& state, const StreamRequest& stream,
                            Handouts& handouts) {
  if (const ULONG client = client_of(pipe); client != 0) handouts.held(client, stream.after, state);
  std::optional<std::uint32_t> held;
  if (stream.after != 0) held = stream.after;
  if (state.note_frame_request()) held = held_at(state);
  const std::shared_ptr<const Frame> frame = state.wait_for_frame_other_than(
      held, std::chrono::milliseconds(std::min(stream.wait_ms, kMaxStreamWaitMs)));
  if (!frame) {
    write_response(pipe, {kNoNewFrameResponse});
    return kRefusalDrainMs;
  }
  NextHeader header{frame->number, frame->capture_ms, frame->width, frame->height, frame->stride,
                    Payload::kWhole, 0, state.changed_since(stream.after, *frame),
                    frame->desktop_name};
  // Changed pixels that are the whole frame are the whole frame's bytes: sent as such, uncopied.
  if (stream.changed_only &&
      header.changed != std::vector<Rect>{Rect{0, 0, frame->width, frame->height}}) {
    header.payload = Payload::kChanged;
  }
  if (stream.shared && hand_over_section(pipe, *frame, header, handouts)) {
    write_response(pipe, {encode_next_header(header)});
    return kResponseDrainMs;
  }
  const std::string_view pixels(reinterpret_cast<const char*>(frame->pixels.data()),
                                frame->pixels.size());
  header.payload_bytes = static_cast<std::uint32_t>(payload_size(header));
  if (header.payload == Payload::kWhole) {
    write_response(pipe, {encode_next_header(header), pixels});  // from the frame, uncopied
    return kResponseDrainMs;
  }
  // The changed rectangles' rows after the header, in one write.
  std::string answer = encode_next_header(header);
  answer.reserve(answer.size() + header.payload_bytes);
  for (const Rect& r : header.changed) {
    for (std::uint32_t y = r.y; y < r.y + r.height; ++y) {
      answer.append(pixels.substr(std::size_t{y} * frame->stride + std::size_t{r.x} * 4,
                                  std::size_t{r.width} * 4));
    }
  }
  write_response(pipe, {answer});
  return kResponseDrainMs;
}

void serve_client(HANDLE pipe, CaptureState& state, Handouts& handouts) {
  (void)ConnectNamedPipe(pipe, nullptr);  // a client that came before the call is served too

  char buffer[kMaxRequestBytes] = {};
  DWORD received = 0;
  (void)within(kRequestWaitMs, [&] {
    return ReadFile(pipe, buffer, sizeof buffer, &received, nullptr);
  });
  const std::string request = decode_utf8_lossy(std::string_view(buffer, received));

  std::uint32_t drain_ms = kRefusalDrainMs;
  if (!is_authorized(request, load_or_create_token())) {
    write_response(pipe, {kUnauthorizedResponse});
  } else if (!wants_frame(request)) {
    write_response(pipe, {status_response(state)});
    drain_ms = kResponseDrainMs;
  } else if (const std::optional<StreamRequest> stream = read_stream_request(request)) {
    drain_ms = answer_stream(pipe, state, *stream, handouts);
  } else {
    drain_ms = answer_frame(pipe, state);
  }
  // DisconnectNamedPipe throws away what the client has not read yet: wait until it has.
  (void)within(drain_ms, [&] { return FlushFileBuffers(pipe); });
  DisconnectNamedPipe(pipe);
}

// What every serving thread of one server shares.
struct Server {
  StopFlag stop;
  std::shared_ptr<CaptureState> state;
  PipeSettings settings;
  std::shared_ptr<Handouts> handouts = std::make_shared<Handouts>();
  [[nodiscard]] bool running() const { return !stop.is_set() && !state->is_stopped(); }
};

// Serves client after client on an instance of its own, made once and kept: while any serving
// thread runs, the name has an instance, and nobody else can make it theirs. An instance of a name
// someone else made first has their owner; it is closed unserved and tried again later.
void serve_on_own_instance(const Server& server) {
  UniqueFile pipe;
  DWORD held_retry_ms = kRetryCreateMs;
  while (server.running()) {
    if (!pipe) {
      pipe = create_pipe_instance(kPipeName, server.settings);
      if (pipe && !serves_own_pipe(pipe.get())) {
        pipe.reset();
        server.state->set_pipe_name_held(true);
        Sleep(held_retry_ms);
        held_retry_ms = std::min<DWORD>(held_retry_ms * 2, kMaxRetryHeldMs);
        continue;
      }
      if (!pipe) {
        Sleep(kRetryCreateMs);  // every instance of the name is in use
        continue;
      }
      server.state->set_pipe_name_held(false);
      held_retry_ms = kRetryCreateMs;
    }
    serve_client(pipe.get(), *server.state, *server.handouts);
  }
}

// A serving thread beside the caller's. Ending it, once the server has stopped, cancels the call
// it waits in (a connect, most likely), so that it sees the stop at once.
class ServingThread {
 public:
  explicit ServingThread(const Server& server)
      : thread_(start_thread([this, server] {
          {
            const MutexLock lock(mutex_);
            handle_ = UniqueHandle(this_thread_handle());
          }
          serve_on_own_instance(server);
          done_ = true;
        })) {}
  ~ServingThread() {
    while (!done_) {
      {
        const MutexLock lock(mutex_);
        if (handle_) (void)CancelSynchronousIo(handle_.get());
      }
      Sleep(10);
    }
    thread_.join();
  }
  ServingThread(const ServingThread&) = delete;
  ServingThread& operator=(const ServingThread&) = delete;

 private:
  Mutex mutex_;
  UniqueHandle handle_ TOLM_GUARDED_BY(mutex_);
  std::atomic<bool> done_{false};
  std::thread thread_;  // last: started once the members it uses are made
};

}  // namespace

PipeSettings capture_pipe_settings(std::string_view owner_sid, std::string_view user_sid) {
  // Protected DACL: nothing is inherited, and nobody else (not Everyone, not Anonymous) may open.
  std::wstring security = L"D:P(A;;GA;;;SY)(A;;GA;;;BA)";
  if (!owner_sid.empty()) security = L"O:" + to_wide(owner_sid) + security;
  if (!user_sid.empty() && !is_trusted_owner(user_sid, "")) {
    security += L"(A;;GA;;;" + to_wide(user_sid) + L")";
  }
  return {
      .open_mode = PIPE_ACCESS_DUPLEX,
      .pipe_mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
      .max_instances = 4,  // shared by every process that serves the name
      .out_buffer_bytes = 16 * 1024 * 1024,  // more than the largest frame response
      .in_buffer_bytes = 4096,
      .default_timeout_ms = 500,
      .security = std::move(security),
  };
}

UniqueFile create_pipe_instance(const char* name, const PipeSettings& settings) {
  const UniqueLocal descriptor = security_descriptor(settings.security.c_str());
  if (!descriptor) return {};
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};
  return UniqueFile(CreateNamedPipeA(name, settings.open_mode, settings.pipe_mode,
                                     settings.max_instances, settings.out_buffer_bytes,
                                     settings.in_buffer_bytes, settings.default_timeout_ms,
                                     &attributes));
}

bool serves_own_pipe(HANDLE instance) {
  return is_trusted_owner(owner_sid(instance, SE_KERNEL_OBJECT), own_account_sid());
}

void RunCaptureServer(StopFlag stop) {
  protect_token_file();
  (void)load_or_create_token();
  std::shared_ptr<CaptureState> state = CaptureState::create();
  // The token file is kept, not only checked when a request comes: clients read it before they can
  // send one, so a deleted file would otherwise shut every client out until a stranger asks.
  start_detached_thread(run_capture_loop, stop, state, +[] { (void)load_or_create_token(); });

  const Server server{stop, state, capture_pipe_settings(pipe_owner_sid(), own_account_sid())};
  // One client a thread: one that waits for a frame or reads slowly holds up no other.
  std::vector<std::unique_ptr<ServingThread>> others;
  for (std::uint32_t i = 1; i < kServingThreads; ++i) {
    others.push_back(std::make_unique<ServingThread>(server));
  }
  serve_on_own_instance(server);
}

}  // namespace tolm
