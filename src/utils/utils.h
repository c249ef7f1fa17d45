#pragma once

#include "apt_sources.h"
#include "apt_update_gate.h"
#include "desktop_entry_checks.h"
#include "hardware_readers.h"
#include "kapla_gate.h"
#include "log_file_rotation.h"
#include "process_priority.h"
#include "small_utils.h"
#include "system_info_record.h"
#include "system_probes.h"
#include "user_lookup.h"
#include "version_compare.h"

namespace AppStore {

// The static utility collection every subsystem calls as AppStore::Utils::...;
// each topic keeps its part in a class of its own.
class Utils : public UserLookup,
              public VersionCompare,
              public AptUpdateGate,
              public SystemProbes,
              public DesktopEntryChecks,
              public LogFileRotation,
              public AptSources,
              public SmallUtils,
              public KaplaGate,
              public HardwareReaders,
              public SystemInfoRecord,
              public ProcessPriority
{
public:
    Utils() = delete;
};

} // namespace AppStore
