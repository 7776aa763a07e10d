// Keeps the session worker running until the service is asked to stop. Windows only.
#pragma once

#include "base/stop_flag.h"

namespace tolm { void run_session_supervisor(const StopFlag& stop); }
