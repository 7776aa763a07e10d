// Portable. What `tolm-capture-client check` makes of what it saw: one finding per part of the
// system, each ok or a PROBLEM with what to do, as text for a person and JSON for a monitor. The
// looking is check_win.h's; nothing here asks the system.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/status_document.h"

namespace tolm::check {

// Something the caller's account may look at, or not.
enum class Seen { kPresent, kMissing, kNotVisible };

// A service's state and start type as the service manager numbers them (check_win.cpp holds them
// against the platform's names).
enum class ServiceState : std::uint32_t {
  kUnknown, kStopped, kStarting, kStopping, kRunning, kContinuing, kPausing, kPaused
};
enum class StartType : std::uint32_t { kBoot, kSystem, kAuto, kDemand, kDisabled };

struct ServiceFacts {
  Seen presence = Seen::kMissing;
  ServiceState state = ServiceState::kUnknown;
  StartType start_type = StartType::kBoot;
  std::uint32_t process_id = 0;
};

struct PipeFacts {
  bool exists = false;
  std::string failure;     // why no answer came, when it exists
  std::string owner_sid;   // empty: the pipe has no owner
  std::string owner_name;  // DOMAIN\name, empty when unknown
  bool trusted = false;    // by the client's own rule
  std::uint32_t process_id = 0;
  std::optional<std::string> image;  // nothing: not visible to this account
  bool denied = false;               // this account may not open it
};

struct FolderFacts {
  Seen presence = Seen::kMissing;
  bool is_link = false;
  bool is_folder = true;
  std::string owner_sid;
  bool owner_trusted = false;
  bool others_may_change = false;
  std::vector<std::string> moved_aside;  // folders the helper renamed out of the way
};

struct TokenFileFacts {
  Seen presence = Seen::kMissing;
  bool well_formed = false;
  bool others_may_change = false;
  bool others_may_open = false;  // and so hold it, shutting clients out
  bool given = false;            // --token: the file is not needed
};

struct StatusFacts {
  std::string location;  // the first readable one; empty when none
  std::optional<StatusDocument> first, last;  // the first and last worker documents seen
  std::uint64_t last_read_ms = 0;            // clock at the last read
  std::uint64_t longest_gap_ms = 0;          // between two worker documents seen one after another
  std::map<std::string, int> notes;          // service notes, each document counted once
  std::vector<std::string> refused;          // locations of files the helper did not make
};
// Takes a worker document read at `read_ms` into `facts`.
void add_worker_document(StatusFacts& facts, const StatusDocument& fields, std::uint64_t read_ms);

struct FrameFacts {
  std::string not_asked;  // why no frame was asked for; empty when they were
  int whole = 0;
  int failed = 0;
  std::string first_failure;
  std::uint32_t width = 0, height = 0;
  double seconds = 0;
  std::vector<double> latencies_ms;
  std::uint64_t bytes = 0;
};

struct CaptureFacts {
  std::optional<std::string> last_error;
  std::uint64_t last_error_age_ms = 0;
  std::optional<std::string> target_file;   // what capture.target holds, when it is there
  std::optional<std::string> display_file;  // what display.index holds, when it is there
  std::uint32_t monitors = 0;
};

struct Observations {
  ServiceFacts service;
  PipeFacts pipe;
  FolderFacts folder;
  TokenFileFacts token;
  StatusFacts status;
  FrameFacts frames;
  CaptureFacts capture;
};

struct Finding {
  std::string topic;
  bool ok = true;
  std::string detail;
  std::string advice;  // for a PROBLEM: what to do
};

// The findings, in a fixed order: service, pipe, data directory, token file, status, frames,
// capture failure, capture settings.
[[nodiscard]] std::vector<Finding> judge(const Observations& seen);

[[nodiscard]] bool healthy(const std::vector<Finding>& findings);
// One line per finding, then "healthy" or the first PROBLEM's advice.
[[nodiscard]] std::string as_text(const std::vector<Finding>& findings);
// The same as one JSON document.
[[nodiscard]] std::string as_json(const std::vector<Finding>& findings);

inline constexpr int kExitHealthy = 0;
inline constexpr int kExitProblem = 9;

}  // namespace tolm::check
