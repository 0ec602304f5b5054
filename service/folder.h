// The state folder's map: where the store, the jobs' directories and the registers' own
// directories are. Every path under state_dir is named here and nowhere else.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace cassardd {

struct StateFolder {
  std::filesystem::path root;  // state_dir

  std::filesystem::path store() const;  // the SQLite store, cassardd.db
  std::filesystem::path jobs() const;   // a directory per job, named by its id
  std::filesystem::path job(int64_t id) const;
  // A directory per register: its status reads' files and their dump logs.
  std::filesystem::path registers() const;
  std::filesystem::path reg(const std::string& name) const;
  std::filesystem::path idMark() const;          // the highest job id ever given or removed
  std::filesystem::path lock() const;            // held by the running service, its pid inside
  std::filesystem::path unacknowledged() const;  // requests never committed, set aside
};

}  // namespace cassardd
