#include "client/check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "protocol/control_files.h"
#include "base/locations.h"
#include "base/percentile.h"
#include "base/text.h"

namespace tolm::check {
namespace {

// A worker document older than this, plus the longest gap seen between two of them, means nobody
// writes them: the helper writes one every 15 passes, which is 2.5 s where a grab takes 160 ms.
constexpr std::uint64_t kStaleStatusMs = 2000;
// A document written later than it was read is not the helper's clock.
constexpr std::uint64_t kFutureStatusMs = 1000;
const std::string kService(kServiceName);

std::string fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string seconds_ago(std::uint64_t ms) {
  return fixed(static_cast<double>(ms) / 1000, 1) + " s ago";
}

Finding ok(const char* topic, std::string detail) { return {topic, true, std::move(detail), {}}; }
Finding problem(const char* topic, std::string detail, std::string advice) {
  return {topic, false, std::move(detail), std::move(advice)};
}

const char* state_name(ServiceState state) {
  constexpr const char* kNames[] = {"unknown", "stopped",    "starting", "stopping",
                                    "running", "continuing", "pausing",  "paused"};
  const auto index = static_cast<std::size_t>(state);
  return index < std::size(kNames) ? kNames[index] : kNames[0];
}

const char* start_name(StartType start_type) {
  switch (start_type) {
    case StartType::kAuto:
      return "starts automatically";
    case StartType::kDemand:
      return "starts on demand";
    case StartType::kDisabled:
      return "disabled";
    case StartType::kBoot:
    case StartType::kSystem:
      break;
  }
  return "starts at boot";
}

std::string server_text(const PipeFacts& p) {
  std::string text = "served by " + (p.owner_sid.empty() ? std::string("no owner") : p.owner_sid);
  if (!p.owner_name.empty()) text += " (" + p.owner_name + ")";
  if (p.process_id != 0) text += ", process " + std::to_string(p.process_id);
  text += ", " + (p.image ? *p.image : std::string("image not visible to this account"));
  return text;
}

Finding judge_service(const Observations& seen) {
  const ServiceFacts& s = seen.service;
  const bool served = seen.pipe.exists && seen.pipe.trusted;
  switch (s.presence) {
    case Seen::kNotVisible:
      return ok("service", kService + ": not visible to this account");
    case Seen::kMissing:
      if (served)
        return ok("service", kService + ": not installed; a console helper serves the pipe");
      return problem("service", kService + ": not installed, and no helper serves the pipe",
                     "install tolm-capture-helper.msi, or start tolm-capture-helper.exe --console");
    case Seen::kPresent:
      break;
  }
  std::string detail = kService + ": " + state_name(s.state) + ", " + start_name(s.start_type);
  if (s.process_id != 0) detail += ", process " + std::to_string(s.process_id);
  if (s.state == ServiceState::kRunning) return ok("service", detail);
  if (s.state == ServiceState::kStopped && s.start_type == StartType::kDisabled) {
    return problem("service", detail,
                   "the service is disabled: sc.exe config " + kService +
                       " start= auto, then sc.exe start " + kService);
  }
  if (s.state == ServiceState::kStopped)
    return problem("service", detail, "the service is stopped: sc.exe start " + kService);
  return problem("service", detail, "the service is changing state: check again in a moment");
}

Finding judge_pipe(const Observations& seen) {
  const PipeFacts& p = seen.pipe;
  const std::string name = kPipeName;
  if (p.denied) {
    return problem("pipe", name + ": this account may not open it",
                   "only SYSTEM and Administrators may: run the check elevated");
  }
  if (!p.exists) {
    const bool service_runs = seen.service.presence == Seen::kPresent &&
                              seen.service.state == ServiceState::kRunning;
    return problem("pipe", name + ": no helper serves it",
                   service_runs ? "the service runs but no worker serves the pipe: see the status "
                                  "notes above and the service's launch error"
                                : "start the service (sc.exe start " + kService +
                                      ") or tolm-capture-helper.exe --console");
  }
  if (!p.trusted) {
    return problem("pipe",
                   name + ": " + server_text(p) + ": not SYSTEM, Administrators or this account",
                   "another program holds the pipe's name: end it (process " +
                       std::to_string(p.process_id) + "), then restart the service");
  }
  if (!p.failure.empty()) {
    return problem("pipe", name + ": " + server_text(p) + ", but " + p.failure,
                   "the helper does not answer: restart the service, or the console helper");
  }
  return ok("pipe", name + ": " + server_text(p));
}

Finding judge_folder(const FolderFacts& f) {
  const std::string name(kDataDirectory);
  std::string aside;
  for (const std::string& moved : f.moved_aside) aside += "; moved aside earlier: " + moved;
  if (f.presence == Seen::kNotVisible)
    return ok("data", name + ": not visible to this account" + aside);
  if (f.presence == Seen::kMissing) {
    return problem("data", name + ": missing" + aside,
                   "the helper makes it when it starts: start the service or the console helper");
  }
  if (f.is_link || !f.is_folder) {
    return problem(
        "data", name + (f.is_link ? ": a link" : ": not a folder") + aside,
        "the helper will not use it: remove it (rmdir " + name + ") and restart the service");
  }
  if (!f.owner_trusted) {
    return problem(
        "data", name + ": owned by " + f.owner_sid + aside,
        "a folder someone else made: the helper moves it aside when it starts; restart the "
        "service");
  }
  if (f.others_may_change) {
    return problem("data",
                   name + ": owned by " + f.owner_sid +
                       ", but others than SYSTEM, "
                       "Administrators and its owner may change it" +
                       aside,
                   "restart the service, which protects it; or icacls " + name +
                       " /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F");
  }
  return ok("data", name + ": a plain folder of " + f.owner_sid +
                        ", changed only by SYSTEM, Administrators and its owner" + aside);
}

Finding judge_token(const TokenFileFacts& t) {
  const std::string name = std::string(kDataDirectory) + "\\" + kTokenFileName;
  if (t.presence == Seen::kNotVisible) {
    return t.given ? ok("token", name + ": not visible to this account; --token given")
                   : problem("token", name + ": not visible to this account",
                             "run the check as an administrator, or give --token");
  }
  if (t.presence == Seen::kMissing) {
    return problem("token", name + ": missing",
                   "the helper makes it when it starts: start the service or the console helper");
  }
  if (t.others_may_change) {
    return problem("token", name + ": writable by others than SYSTEM, Administrators and its owner",
                   "anyone may lock clients out: restart the service, which takes their access "
                   "away");
  }
  if (t.others_may_open) {
    return problem("token", name + ": others than SYSTEM, Administrators and its owner may open it",
                   "anyone who may open it may hold it and lock clients out: restart the service, "
                   "which takes their access away");
  }
  if (!t.well_formed) {
    return problem("token", name + ": holds no token",
                   "the helper replaces it at the next request; if it stays so, delete it");
  }
  return ok("token", name + ": a token, opened only by SYSTEM, Administrators and its owner");
}

Finding judge_status(const StatusFacts& s) {
  std::string notes;
  for (const auto& [note, count] : s.notes) {
    notes += "; service note \"" + note + "\" seen " + std::to_string(count) + " time" +
             (count == 1 ? "" : "s");
  }
  for (const std::string& refused : s.refused) notes += "; not the helper's file: " + refused;
  if (s.location.empty()) {
    return problem("status", "no status file can be read" + notes,
                   "nothing has written one: start the service or the console helper");
  }
  if (!s.last) {
    return problem("status", s.location + ": no worker's status, only the service's" + notes,
                   "no worker has been started: see the service note");
  }
  const StatusDocument& last = *s.last;
  std::string detail =
      s.location + ", written " +
      seconds_ago(s.last_read_ms > last.ts ? s.last_read_ms - last.ts : 0) + ": desktop \"" +
      last.desktop + "\"" + (last.secure ? " (secure desktop)" : "") +
      (last.frames ? ", a frame held" : ", no frame held") + ", backend " + last.backend;
  const StatusDocument& first = s.first ? *s.first : last;
  if (last.ts > first.ts && last.seq >= first.seq) {  // a new worker counts from 0 again
    const double per_second = static_cast<double>(last.seq - first.seq) * 1000.0 /
                              static_cast<double>(last.ts - first.ts);
    detail += ", " + fixed(per_second, 1) + " frames/s published";
  }
  if (last.note) detail += ", note \"" + *last.note + "\"";
  detail += notes;
  if (last.ts > s.last_read_ms + kFutureStatusMs) {
    return problem("status", detail + "; written in the future",
                   "the status was not written by the helper, or the clock was set back: restart "
                   "the service or the console helper");
  }
  if (s.last_read_ms > last.ts + kStaleStatusMs + s.longest_gap_ms) {
    return problem("status", detail,
                   "nothing is writing the status: the helper has stopped or "
                   "hangs; restart the service or the console helper");
  }
  if (last.note && *last.note == kPipeNameHeldNote) {
    return problem("status", detail,
                   "another program created the pipe first, and the helper will not serve through "
                   "it: end that program; the helper takes the name back once it is free");
  }
  if (!last.frames) {
    return problem("status", detail, "the helper has no picture: see the capture failure below");
  }
  return ok("status", detail);
}

Finding judge_frames(const FrameFacts& f) {
  if (!f.not_asked.empty()) {
    return problem("frames", "none asked for: " + f.not_asked, "mend the problems above first");
  }
  std::string detail =
      std::to_string(f.whole) + " of " + std::to_string(f.whole + f.failed) + " whole";
  if (f.whole > 0 && f.seconds > 0) {
    detail += ", " + std::to_string(f.width) + "x" + std::to_string(f.height) + ", " +
              fixed(f.whole / f.seconds, 1) + " frames/s to this client, latency median " +
              fixed(percentile(f.latencies_ms, 0.5), 0) + " ms, 95th percentile " +
              fixed(percentile(f.latencies_ms, 0.95), 0) + " ms, " +
              fixed(static_cast<double>(f.bytes) / f.seconds / 1e6, 1) + " MB/s";
  }
  if (f.failed > 0 || f.whole == 0) {
    return problem("frames", detail + "; first failure: " + f.first_failure,
                   f.first_failure.starts_with("unauthorized")
                       ? "the token was refused: the file changed meanwhile, or --token is wrong"
                       : "see the status and the capture failure");
  }
  return ok("frames", detail);
}

Finding judge_failure(const CaptureFacts& c, bool frames_flow) {
  if (!c.last_error) return ok("failure", "no capture failure recorded");
  const std::string text = without_control_characters(*c.last_error);
  const std::string detail =
      "last capture failure \"" + text + "\", " + seconds_ago(c.last_error_age_ms);
  if (frames_flow) return ok("failure", detail + "; capture works since");
  return problem("failure", detail,
                 "no desktop gives a picture: is the console session locked, off or on a "
                 "disconnected session? Look at the desktop named there");
}

Finding judge_settings(const CaptureFacts& c) {
  const auto quoted = [](const std::string& bytes) {
    return "\"" + without_control_characters(decode_utf8_lossy(bytes)) + "\"";
  };
  const CaptureTarget target = parse_capture_target(c.target_file);
  std::string detail =
      "pictures fit in " + std::to_string(target.width) + "x" + std::to_string(target.height);
  std::string ignored;
  if (c.target_file && !capture_target_setting(*c.target_file)) {
    ignored = "capture.target holds " + quoted(*c.target_file);
  }
  detail += c.target_file ? ignored.empty() ? " (capture.target)" : " (the default)"
                          : " (the default: no capture.target)";
  const std::uint64_t index = parse_display_index(c.display_file);
  detail += "; monitor " + std::to_string(index) + " of " + std::to_string(c.monitors) +
            " counted from 0";
  if (c.display_file && !display_index_setting(*c.display_file)) {
    ignored += (ignored.empty() ? "" : ", ") + std::string("display.index holds ") +
               quoted(*c.display_file);
  }
  if (c.monitors != 0 && index >= c.monitors) detail += ", which is not there: the primary screen";
  if (!ignored.empty()) {
    return problem("settings", detail + "; ignored: " + ignored,
                   "a control file holds no setting: write e.g. 1280x720 to capture.target and a "
                   "monitor number to display.index, or delete the file");
  }
  return ok("settings", detail);
}

void json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

const Finding* first_problem(const std::vector<Finding>& findings) {
  const auto it =
      std::find_if(findings.begin(), findings.end(), [](const Finding& f) { return !f.ok; });
  return it == findings.end() ? nullptr : &*it;
}

}  // namespace

void add_worker_document(StatusFacts& facts, const StatusDocument& fields, std::uint64_t read_ms) {
  if (facts.last && fields.ts > facts.last->ts) {
    facts.longest_gap_ms = std::max(facts.longest_gap_ms, fields.ts - facts.last->ts);
  }
  if (!facts.first) facts.first = fields;
  if (!facts.last || fields.ts >= facts.last->ts) facts.last = fields;
  facts.last_read_ms = read_ms;
}

std::vector<Finding> judge(const Observations& seen) {
  const bool frames_flow = seen.frames.whole > 0 || (seen.status.last && seen.status.last->frames);
  std::vector<Finding> findings{judge_service(seen),
          judge_pipe(seen),
          judge_folder(seen.folder),
          judge_token(seen.token),
          judge_status(seen.status),
          judge_frames(seen.frames),
          judge_failure(seen.capture, frames_flow),
          judge_settings(seen.capture)};
  // What files, names and other programs say reaches an administrator's console: no escape
  // sequence, no line break of theirs.
  for (Finding& f : findings) {
    f.detail = without_control_characters(decode_utf8_lossy(f.detail));
    f.advice = without_control_characters(decode_utf8_lossy(f.advice));
  }
  return findings;
}

bool healthy(const std::vector<Finding>& findings) { return first_problem(findings) == nullptr; }

std::string as_text(const std::vector<Finding>& findings) {
  std::string out;
  for (const Finding& f : findings) {
    char head[32];
    std::snprintf(head, sizeof head, "%-8s %-9s", f.ok ? "ok" : "PROBLEM", f.topic.c_str());
    out += head + f.detail + "\n";
  }
  const Finding* first = first_problem(findings);
  out += first == nullptr ? std::string("healthy\n") : "PROBLEM: " + first->advice + "\n";
  return out;
}

std::string as_json(const std::vector<Finding>& findings) {
  const Finding* first = first_problem(findings);
  std::string out = "{\"healthy\":";
  out += first == nullptr ? "true" : "false";
  out += ",\"findings\":[";
  for (const Finding& f : findings) {
    if (&f != &findings.front()) out += ',';
    out += "{\"topic\":";
    json_string(out, f.topic);
    out += ",\"ok\":";
    out += f.ok ? "true" : "false";
    out += ",\"detail\":";
    json_string(out, f.detail);
    out += ",\"advice\":";
    json_string(out, f.advice);
    out += '}';
  }
  out += "],\"advice\":";
  json_string(out, first == nullptr ? "" : first->advice);
  out += "}\n";
  return out;
}

}  // namespace tolm::check
