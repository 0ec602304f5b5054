// Start-up checks against the job directories, and cassardd --restore / --take-back:
// the store put back in a state where every key it ever answered is known again.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "service/config.h"
#include "service/store.h"

namespace cassardd {

// Of the job directories in `unknown` (the store knows none of them), those whose trace
// has no commit mark and whose key the store does not hold: requests that got no 201 (the
// service ended between the trace and the commit). They are moved to
// state_dir/unacknowledged/ID, the id mark raised above them; returns their ids and
// leaves the others in `unknown`.
std::vector<int64_t> setAsideUnacknowledged(const std::string& stateDir, Store& store,
                                            std::vector<int64_t>& unknown);

// The jobs the store holds as undecided whose trace went further (a final state, or a
// start where the store says queued): the store lost their moves, and would run them again.
std::vector<int64_t> behindTraces(const std::string& stateDir, Store& store);

// cassardd --restore BACKUP (a backup given) or --take-back (none): with the service
// stopped, the backup is checked and put in place of the store (the store it replaces is
// kept beside it as cassardd.db.replaced-TIME), then every job directory the store does
// not know is taken back from its trace, and every job the store is behind its trace on
// (behindTraces) brought forward the same way: its key, fingerprint and request, and its
// outcome where its files settle it, else attention (`restored_unsettled`). Prints what
// it did; the exit status (0, or 1 when something is left for a person, named).
int restoreState(const Config& cfg, const std::optional<std::string>& backup);

// Job ids as a person reads them in a message: the first ten, then how many more.
std::string someIds(const std::vector<int64_t>& ids);

}  // namespace cassardd
