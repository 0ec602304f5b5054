// What the host developer and the technician meet before any sale: --help and
// --version, arguments that only look like options, and a line that cannot be had.

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "rig.h"

namespace {

const std::string kBanner =
    "\nDriver Registratori di cassa Molvex, versione 4.0.8 'HT'\n"
    "\nPer informazioni e/o copia dei sorgenti contattare:\n"
    "cassard-dev@example.org\n"
    "Qusta \xE8 una versione beta non va utilizzata in ambienti di produzione\n";

// Exactly what stdout carries when the line cannot be opened, whatever the reason.
const std::string kLineRefused = kBanner +
                                 "\nErrore di comunicazione sulla porta seriale.\n"
                                 "Il protocollo ha risposto con: -1\n"
                                 "\nDescrizione: Impossibile aprire la porta seriale\n";

TEST(CommandLine, HelpAndVersionAnswerWithoutTouchingTheLine) {
  rig::Rig rig;
  const rig::Run version = rig.cassardApart({"--version", rig.link()});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.console, "cassard 4.01\n");
  EXPECT_EQ(version.errors, "");

  const rig::Run help = rig.cassardApart({"--help", rig.link(), "9600,N,8,1"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.console.rfind("Usage: cassard [SALESFILE [DEVICE [SETTINGS]]]\n", 0), 0u)
      << help.console;
  EXPECT_FALSE(contains(help.console, "Molvex")) << "no banner before the help";
  EXPECT_TRUE(contains(help.console, "\n  255  ")) << "the exit statuses are listed";
  EXPECT_EQ(help.errors, "");

  EXPECT_TRUE(rig.record().empty()) << "the register saw nothing";
  EXPECT_TRUE(rig.dumpLog().empty());
}

TEST(CommandLine, EverythingElseStaysPositional) {
  // Names a host may well give its sales files, and option words in the wrong place.
  for (const char* name : {"-h", "--HELP", "--help=1", "--versions", "-"}) {
    SCOPED_TRACE(name);
    rig::Rig rig;
    std::ofstream(rig.dir() / name) << "";
    const rig::Run run = rig.cassardApart({name, rig.link()});
    EXPECT_EQ(run.status, 0) << run.console << run.errors;
    EXPECT_EQ(run.console.rfind(kBanner, 0), 0u);
    EXPECT_EQ(rig.commands(), (std::vector<std::string>{"54", "4800"})) << "read as a sales file";
  }
  rig::Rig rig;
  const rig::Run asDevice = rig.cassardApart({"vendite.ECR", "--help"});
  EXPECT_EQ(asDevice.status, 255);
  EXPECT_EQ(asDevice.console, kLineRefused) << "--help second is a device name";
}

TEST(LineDiagnostics, StdoutStaysExactAndStderrSaysWhy) {
  rig::Rig rig;
  const rig::Run missing = rig.cassardApart({"vendite.ECR", (rig.dir() / "ca300").string()});
  EXPECT_EQ(missing.status, 255);
  EXPECT_EQ(missing.console, kLineRefused);
  const std::string failure =
      "cassard: vendite.ECR:0: Impossibile aprire la porta seriale (exit 255)\n";
  EXPECT_EQ(missing.errors, "cassard: cannot open " + (rig.dir() / "ca300").string() +
                                ": No such file or directory\n" + failure);

  const rig::Run longSettings =
      rig.cassardApart({"vendite.ECR", rig.link(), std::string(100, '9')});
  EXPECT_EQ(longSettings.status, 255);
  EXPECT_EQ(longSettings.console, kLineRefused);
  EXPECT_EQ(longSettings.errors, "cassard: line settings longer than 79 characters\n" + failure);
  EXPECT_TRUE(rig.record().empty());
}

// The technician's usual first failure: the adapter belongs to a group the shop's
// user is not in. Needs root to become another user; skipped otherwise.
TEST(LineDiagnostics, PermissionDeniedNamesOwnerGroupModeAndTheFix) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run cassard as another user";
  const passwd* nobody = getpwnam("nobody");
  const group* dialout = getgrnam("dialout");
  if (!nobody || !dialout) GTEST_SKIP() << "no user nobody or group dialout here";
  const rig::Identity as{nobody->pw_uid, nobody->pw_gid};

  rig::Rig rig;
  ASSERT_EQ(chmod(rig.dir().c_str(), 0777), 0) << "the dump log lands there";
  const std::string device = (rig.dir() / "ttyUSB0").string();
  std::ofstream(device) << "";
  ASSERT_EQ(chown(device.c_str(), 0, dialout->gr_gid), 0);

  struct Case {
    mode_t mode;
    std::string tail;  // after the system's reason
  };
  const std::string who = std::string(" (owner root, group ") + dialout->gr_name;
  const std::string user = nobody->pw_name;
  const std::string group = dialout->gr_name;
  const Case cases[] = {
      {0660, who + ", mode 0660); add the user " + user + " to the group " + group +
                 " (usermod -aG " + group + " " + user + ") and log in again\n"},
      // The group may not write: joining it would not help, so no advice.
      {0640, who + ", mode 0640)\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    ASSERT_EQ(chmod(device.c_str(), c.mode), 0);
    const rig::Run run = rig.cassardApart({"vendite.ECR", device}, &as);
    EXPECT_EQ(run.status, 255);
    EXPECT_EQ(run.console, kLineRefused);
    EXPECT_EQ(run.errors,
              "cassard: cannot open " + device + ": Permission denied" + c.tail +
                  "cassard: vendite.ECR:0: Impossibile aprire la porta seriale (exit 255)\n");
  }
}

}  // namespace
