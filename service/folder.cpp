#include "service/folder.h"

namespace cassardd {

namespace fs = std::filesystem;

fs::path StateFolder::store() const {
  return root / "cassardd.db";
}

fs::path StateFolder::jobs() const {
  return root / "jobs";
}

fs::path StateFolder::job(int64_t id) const {
  return jobs() / std::to_string(id);
}

fs::path StateFolder::registers() const {
  return root / "registers";
}

fs::path StateFolder::reg(const std::string& name) const {
  return registers() / name;
}

fs::path StateFolder::idMark() const {
  return root / "job-id-mark";
}

fs::path StateFolder::lock() const {
  return root / "cassardd.lock";
}

fs::path StateFolder::unacknowledged() const {
  return root / "unacknowledged";
}

}  // namespace cassardd
