// ecrsim: the register on a pseudo-terminal. It publishes the slave side of a pty
// under a stable path, serves one host at a time for as long as it runs, and writes
// what it received (--record), its paper roll (--roll) and the wire (--trace).
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "config.h"
#include "simulator/faults.h"
#include "simulator/frontend.h"
#include "simulator/model.h"
#include "simulator/profile.h"
#include "simulator/roll.h"

using namespace ecrsim;

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

const char* const kUsage =
    "usage: ecrsim --link PATH [options]\n"
    "\n"
    "Plays a fiscal cash register on a pseudo-terminal whose slave side is published\n"
    "as the symbolic link PATH. Serves hosts one after another until SIGTERM or SIGINT.\n"
    "\n"
    "  --link PATH      where to publish the line (required; only a link is replaced)\n"
    "  --profile FILE   register profile (JSON); without one, built-in defaults\n"
    "  --fault FAULT    a fault, KIND[=ARG][@TARGET]; may be repeated (see below)\n"
    "  --record FILE    one line per frame received: the command in hex, prefixed\n"
    "                   \"BAD \", \"REP \", \"NACK \", ... when it was not executed\n"
    "  --roll FILE      the paper roll (default: standard output)\n"
    "  --trace          both directions of the wire in hex, on standard error\n"
    "  --pace BAUD      send at the line's speed: 10 bits per byte at BAUD\n"
    "  --control PATH   a Unix socket taking one-line commands, each answered with one\n"
    "                   JSON line (below)\n"
    "  --help           this text\n"
    "  --version        the version, and exit\n"
    "\n"
    "TARGET is a command number (1 = first command received, 'I' requests not\n"
    "counted), a command letter, run:N (the Nth command of each host's conversation),\n"
    "or an event: payment, sale, journal, receipt, each with an optional :N (the Nth\n"
    "from when the fault is armed). Without a target the fault hits every command, or\n"
    "for critical, busy, staframe, stadle and dead holds from the start.\n"
    "\n"
    "Control commands (--control):\n"
    "  state                 the register's state: open sale, counter, faults, line\n"
    "  receipts              every receipt closed since the start or reset\n"
    "  fault FAULT           arms FAULT now (as --fault)\n"
    "  clear                 disarms every fault\n"
    "  reset                 the register as ecrsim started\n"
    "  hangup                the line vanishes now; ecrsim stays up\n"
    "  plug                  a new line at the same link after a hangup\n"
    "  sell CENTS [TEXT]     a person sells one item in department 1 on the keyboard\n"
    "  pay [METHOD] [CENTS]  a person pays with the payment key named METHOD (contanti,\n"
    "                        carta, ...; default: the first that gives change), CENTS\n"
    "                        or else the whole amount due\n"
    "  void                  a person cancels the open sale; the receipt counter stays\n"
    "A person's keys (sell, pay, void) while a host holds the line (from its open to its\n"
    "close) are refused, and the host's next command is answered with keys pressed.\n"
    "\n"
    "Faults:\n";

struct Options {
  std::string link, profilePath, recordPath, rollPath, controlPath;
  std::vector<std::string> faultSpecs;
  bool trace = false;
  long paceBaud = 0;
};

// The command line into `o`; -1 to go on, else the exit status (--help, --version, a
// mistake).
int parseOptions(int argc, char** argv, Options& o) {
  static const option kOptions[] = {{"link", required_argument, nullptr, 'l'},
                                    {"profile", required_argument, nullptr, 'p'},
                                    {"fault", required_argument, nullptr, 'f'},
                                    {"record", required_argument, nullptr, 'r'},
                                    {"roll", required_argument, nullptr, 'o'},
                                    {"trace", no_argument, nullptr, 't'},
                                    {"pace", required_argument, nullptr, 'b'},
                                    {"help", no_argument, nullptr, 'h'},
                                    {"version", no_argument, nullptr, 'v'},
                                    {"control", required_argument, nullptr, 'c'},
                                    {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
    switch (c) {
      case 'l':
        o.link = optarg;
        break;
      case 'p':
        o.profilePath = optarg;
        break;
      case 'f':
        o.faultSpecs.emplace_back(optarg);
        break;
      case 'r':
        o.recordPath = optarg;
        break;
      case 'o':
        o.rollPath = optarg;
        break;
      case 't':
        o.trace = true;
        break;
      case 'c':
        o.controlPath = optarg;
        break;
      case 'b': {
        char* end = nullptr;
        o.paceBaud = std::strtol(optarg, &end, 10);
        if (end == optarg || *end != '\0' || o.paceBaud < 50 || o.paceBaud > 4000000) {
          std::fprintf(stderr, "ecrsim: --pace wants a speed in baud, 50 to 4000000\n");
          return 2;
        }
        break;
      }
      case 'h':
        std::fputs(kUsage, stdout);
        std::fputs(kFaultHelp, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
      case 'v':
        std::fputs("ecrsim (" PACKAGE ") " VERSION "\n", stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
      default:
        std::fputs(kUsage, stderr);
        return 2;
    }
  }
  if (o.link.empty() || optind != argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  return -1;
}

// The profile, and its faults followed by those of the command line.
bool loadRegister(const Options& o, Profile& profile, std::vector<Fault>& faults,
                  std::string& error) {
  if (o.profilePath.empty() ? !profileFromText("{}", profile, error)
                            : !loadProfile(o.profilePath, profile, error))
    return false;
  std::vector<std::string> allWritten = profile.faults;
  allWritten.insert(allWritten.end(), o.faultSpecs.begin(), o.faultSpecs.end());
  for (const std::string& written : allWritten) {
    Fault f;
    if (!parseFault(written, f, error)) return false;
    faults.push_back(f);
  }
  return true;
}

// --record and --roll, each created anew; the roll goes to standard output without one.
struct Outputs {
  File record{nullptr, fclose};
  File roll{nullptr, fclose};
  FILE* rollOut = stdout;
};

bool openOutputs(const Options& o, Outputs& out, std::string& error) {
  auto create = [&](const std::string& path, File& f) {
    if (path.empty()) return true;
    f.reset(std::fopen(path.c_str(), "w"));
    if (!f) error = "cannot write " + path + ": " + std::strerror(errno);
    return f != nullptr;
  };
  if (!create(o.recordPath, out.record) || !create(o.rollPath, out.roll)) return false;
  if (out.roll) out.rollOut = out.roll.get();
  return true;
}

// Every frame into the record, every command executed onto the roll, each flushed at once.
void attachOutputs(Register& reg, Outputs& out) {
  reg.onFrame = [&out](std::string_view mark, std::span<const uint8_t> cmd) {
    if (!out.record) return;
    std::fprintf(out.record.get(), "%.*s%s\n", static_cast<int>(mark.size()), mark.data(),
                 hex(cmd).c_str());
    std::fflush(out.record.get());
  };
  const int decimals = reg.profile().decimals;
  reg.onExecuted = [&out, decimals](const Executed& ev) {
    const std::string text = rollLines(ev, decimals);
    if (text.empty()) return;
    std::fputs(text.c_str(), out.rollOut);
    std::fflush(out.rollOut);
  };
}

int fail(const std::string& error, int status) {
  std::fprintf(stderr, "ecrsim: %s\n", error.c_str());
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (const int status = parseOptions(argc, argv, o); status >= 0) return status;
  Profile profile;
  std::vector<Fault> faults;
  std::string error;
  if (!loadRegister(o, profile, faults, error)) return fail(error, 2);
  Outputs out;
  if (!openOutputs(o, out, error)) return fail(error, 2);

  Register reg(std::move(profile), std::move(faults));
  Frontend front(reg, {o.link, o.controlPath, o.trace, o.paceBaud, out.rollOut});
  if (int status = 0; !front.open(error, status)) return fail(error, status);
  const sigset_t waitMask = blockStopSignals();
  attachOutputs(reg, out);
  std::printf("ecrsim ready on %s -> %s\n", o.link.c_str(), front.slave().c_str());
  std::fflush(stdout);

  const int status = front.run(waitMask);
  if (reg.badFrames() > 0)
    std::fprintf(stderr, "ecrsim: %u damaged frames refused\n", reg.badFrames());
  return status;
}
