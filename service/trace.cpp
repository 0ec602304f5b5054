#include "service/trace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "service/folder.h"
#include "service/job_json.h"
#include "service/receipt.h"

namespace cassardd {

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

std::string sysError(const std::string& what, const fs::path& p) {
  return what + " " + p.string() + ": " + std::strerror(errno);
}

// All of `data` written to `fd`; false (errno set) when a write fails.
bool writeAll(int fd, const std::string& data) {
  for (std::size_t done = 0; done < data.size();) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

json nullable(const std::optional<std::string>& v) {
  return v ? json(*v) : json(nullptr);
}
json nullable(const std::optional<int64_t>& v) {
  return v ? json(*v) : json(nullptr);
}

fs::path jobsDir(const std::string& stateDir) {
  return StateFolder{stateDir}.jobs();
}

}  // namespace

JobTrace::JobTrace(std::string stateDir) : stateDir_(std::move(stateDir)) {}

void JobTrace::accepted(const Job& j) {
  json lines = json::array();
  for (const std::string& l : j.lines) lines.push_back(fromLatin1(l));
  const json first = {{"trace", 1},
                      {"id", j.id},
                      {"register", j.reg},
                      {"key", j.key},
                      {"kind", j.kind},
                      {"fingerprint", requestFingerprint(j.kind, j.request)},
                      {"createdAt", j.createdAt},
                      {"expiresAt", nullable(j.expiresAt)},
                      {"total", nullable(j.total)},
                      {"change", nullable(j.change)},
                      {"request", j.request},
                      {"lines", lines}};
  const fs::path dir = jobsDir(stateDir_) / std::to_string(j.id);
  const fs::path file = dir / kTraceFile;
  // A directory already there is another job's: a job's directory is never shared.
  if (::mkdir(dir.c_str(), 0755) != 0) throw StoreError(sysError("cannot make", dir));
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  std::string fault;
  if (fd < 0) {
    fault = sysError("cannot write", file);
  } else {
    // One write, then the disk: the directory and its entry reach the journal with it.
    if (!writeAll(fd, jsonText(first) + "\n") || ::fdatasync(fd) != 0)
      fault = sysError("cannot write", file);
    ::close(fd);
  }
  if (fault.empty()) return;
  ::unlink(file.c_str());
  ::rmdir(dir.c_str());
  throw StoreError(fault);
}

void JobTrace::withdrawn(int64_t id) noexcept {
  const fs::path dir = jobsDir(stateDir_) / std::to_string(id);
  ::unlink((dir / kTraceFile).c_str());
  ::rmdir(dir.c_str());
}

void JobTrace::moved(const Job& j) noexcept {
  try {
    json line = {{"at", utcNow()}, {"state", stateName(j.state)}};
    if (j.exitStatus) line["exitStatus"] = *j.exitStatus;
    if (j.receiptNumber) line["receiptNumber"] = *j.receiptNumber;
    if (!j.reasonCode.empty()) line["reasonCode"] = j.reasonCode;
    if (!j.reasonParams.empty()) line["reasonParams"] = j.reasonParams;
    if (j.settledBy) line["settledBy"] = *j.settledBy;
    const fs::path file = jobsDir(stateDir_) / std::to_string(j.id) / kTraceFile;
    // Only onto a trace that is there: a job from before traces keeps none.
    const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) {
      if (errno != ENOENT)
        std::cerr << "cassardd: " << sysError("cannot append to", file) << std::endl;
      return;
    }
    if (!writeAll(fd, jsonText(line) + "\n"))
      std::cerr << "cassardd: " << sysError("cannot append to", file) << std::endl;
    ::close(fd);
  } catch (const std::exception& e) {
    std::cerr << "cassardd: job " << j.id << "'s trace: " << e.what() << std::endl;
  }
}

std::string JobTrace::fault() {
  using namespace std::chrono_literals;
  std::lock_guard lock(m_);
  const auto now = std::chrono::steady_clock::now();
  if (probed_ && now - probedAt_ < 1s) return fault_;
  probed_ = true;
  probedAt_ = now;
  // A write of a byte into a new file: refused on a read-only folder, a full disk (its
  // block is reserved at the write) or a folder that is gone.
  const fs::path probe = jobsDir(stateDir_) / ".probe";
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  fault_.clear();
  if (fd < 0 || !writeAll(fd, "1"))
    fault_ = "the state folder " + stateDir_ + " cannot be written (" +
             sysError(fd < 0 ? "creating" : "writing", probe) + ")";
  if (fd >= 0) ::close(fd);
  ::unlink(probe.c_str());
  return fault_;
}

std::optional<TraceRecord> readTrace(const fs::path& jobDir) {
  const fs::path file = jobDir / kTraceFile;
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return std::nullopt;
    throw StoreError("cannot read " + file.string());
  }
  std::string text;
  if (!std::getline(in, text)) throw StoreError(file.string() + " is empty");
  const json first = json::parse(text, nullptr, false);
  if (!first.is_object() || first.value("trace", json()) != 1 || !first.contains("id") ||
      !first["id"].is_number_integer() || !first.contains("request") ||
      !first["request"].is_string() || !first.contains("lines") || !first["lines"].is_array())
    throw StoreError(file.string() + ": its first line is not a job's trace");
  TraceRecord r;
  try {
    r.job.id = first["id"].get<int64_t>();
    r.job.reg = first.at("register").get<std::string>();
    r.job.key = first.at("key").get<std::string>();
    r.job.kind = first.at("kind").get<std::string>();
    r.job.request = first["request"].get<std::string>();
    for (const json& l : first["lines"])
      r.job.lines.push_back(toLatin1(l.get<std::string>()).value_or(""));
    r.job.createdAt = first.at("createdAt").get<std::string>();
    if (first.value("expiresAt", json()).is_string()) r.job.expiresAt = first["expiresAt"];
    if (first.value("total", json()).is_number_integer()) r.job.total = first["total"];
    if (first.value("change", json()).is_number_integer()) r.job.change = first["change"];
    r.fingerprint = first.at("fingerprint").get<std::string>();
  } catch (const json::exception& e) {
    throw StoreError(file.string() + ": its first line is not a job's trace (" + e.what() + ")");
  }
  // A last line cut short by a crash is no move.
  while (std::getline(in, text)) {
    const json move = json::parse(text, nullptr, false);
    if (!move.is_object() || !move.value("state", json()).is_string()) continue;
    r.committed = true;
    if (move.value("exitStatus", json()).is_number_integer()) r.exitStatus = move["exitStatus"];
    r.last = move;
  }
  return r;
}

void clearRunFiles(const fs::path& jobDir) {
  std::error_code ec;
  fs::create_directories(jobDir, ec);
  for (const auto& e : fs::directory_iterator(jobDir, ec))
    if (e.path().filename() != kTraceFile) fs::remove_all(e.path(), ec);
}

std::vector<int64_t> jobDirIds(const std::string& stateDir) {
  std::vector<int64_t> ids;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(jobsDir(stateDir), ec)) {
    const std::string name = e.path().filename().string();
    if (!name.empty() && name.size() <= 18 && name.front() != '0' &&
        std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
      ids.push_back(std::stoll(name));
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

int64_t readIdMark(const std::string& stateDir) {
  const fs::path file = StateFolder{stateDir}.idMark();
  std::ifstream in(file);
  if (!in) {
    std::error_code ec;
    if (!fs::exists(file, ec)) return 0;
    throw StoreError("cannot read " + file.string());
  }
  std::string text;
  std::getline(in, text);
  if (text.empty() || text.size() > 18 ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
    throw StoreError(file.string() + " holds no job id: \"" + text.substr(0, 40) + "\"");
  return std::stoll(text);
}

void raiseIdMark(const std::string& stateDir, int64_t id) {
  if (id <= readIdMark(stateDir)) return;
  const fs::path file = StateFolder{stateDir}.idMark();
  const fs::path tmp = file.string() + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) throw StoreError(sysError("cannot write", tmp));
  const bool ok = writeAll(fd, std::to_string(id) + "\n") && ::fsync(fd) == 0;
  const std::string fault = ok ? "" : sysError("cannot write", tmp);
  ::close(fd);
  if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
    const std::string why = ok ? sysError("cannot rename to", file) : fault;
    ::unlink(tmp.c_str());
    throw StoreError(why);
  }
  const int d = ::open(stateDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (d >= 0) {
    ::fsync(d);
    ::close(d);
  }
}

void removeJobDirs(const std::string& stateDir, const std::vector<int64_t>& ids) {
  if (ids.empty()) return;
  raiseIdMark(stateDir, *std::max_element(ids.begin(), ids.end()));
  for (int64_t id : ids) {
    std::error_code ec;
    fs::remove_all(jobsDir(stateDir) / std::to_string(id), ec);
  }
}

std::string lockStateDir(const std::string& stateDir) {
  const fs::path file = StateFolder{stateDir}.lock();
  // Kept open, and so locked, until the process ends; a child does not inherit it.
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return sysError("cannot open the lock", file);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    char buf[32] = {};
    const ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    ::close(fd);
    std::string pid = n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : "";
    pid.erase(std::remove(pid.begin(), pid.end(), '\n'), pid.end());
    if (err != EWOULDBLOCK) return "cannot lock " + file.string() + ": " + std::strerror(err);
    return "another cassardd (pid " + (pid.empty() ? std::string("unknown") : pid) +
           ") is using the state folder " + stateDir + " (it holds " + file.string() + ")";
  }
  // The pid for the one that comes second; a full disk leaves it unsaid, the lock holds.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) (void)!::pwrite(fd, pid.data(), pid.size(), 0);
  return {};
}

}  // namespace cassardd
