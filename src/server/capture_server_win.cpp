#include <windows.h>

#include <algorithm>
#include <initializer_list>
#include <string>

#include "base/files.h"
#include "base/handles.h"
#include "base/io_deadline.h"
#include "base/locations.h"
#include "base/security_win.h"
#include "base/text.h"
#include "base/threads.h"
#include "base/win_text.h"
#include "capture/capture_system_win.h"
#include "capture/control_files_win.h"
#include "capture/frame_grabber.h"
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

void serve_client(HANDLE pipe, const CaptureState& state) {
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
  } else if (const std::shared_ptr<const Frame> frame = frame_for(state)) {
    const auto& pixels = frame->pixels;
    const FrameHeader header{frame->width, frame->height, frame->stride,
                             static_cast<std::uint32_t>(pixels.size())};
    write_response(pipe, {encode_frame_header(header),
                          {reinterpret_cast<const char*>(pixels.data()), pixels.size()}});
    drain_ms = kResponseDrainMs;
  } else {
    write_response(pipe, {kNoFrameResponse});
  }
  // DisconnectNamedPipe throws away what the client has not read yet: wait until it has.
  (void)within(drain_ms, [&] { return FlushFileBuffers(pipe); });
  DisconnectNamedPipe(pipe);
}

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

  const PipeSettings settings = capture_pipe_settings(pipe_owner_sid(), own_account_sid());
  // The name is never left without an instance while the server runs: whoever created it in such a
  // moment would hold it. The next instance is made before the one just served is closed; when none
  // can be made, the same instance, disconnected, waits for the next client.
  UniqueFile pipe;
  DWORD held_retry_ms = kRetryCreateMs;
  while (!stop.is_set() && !state->is_stopped()) {
    UniqueFile next = create_pipe_instance(kPipeName, settings);
    // A name made first by someone else keeps their descriptor for every later instance: whoever
    // holds it may connect to ours. Such an instance is closed unserved.
    if (next && !serves_own_pipe(next.get())) {
      next.reset();
      state->set_pipe_name_held(true);
      Sleep(held_retry_ms);
      held_retry_ms = std::min<DWORD>(held_retry_ms * 2, kMaxRetryHeldMs);
      continue;
    }
    if (next) {
      pipe = std::move(next);
      state->set_pipe_name_held(false);
      held_retry_ms = kRetryCreateMs;
    } else if (!pipe) {
      Sleep(kRetryCreateMs);  // every instance is in use
      continue;
    }
    serve_client(pipe.get(), *state);
  }
}

}  // namespace tolm
