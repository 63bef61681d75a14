// The Debian package: exactly the component directory under /opt/vexor plus
// the files Debian's tools look for, stripped programs, control fields whose
// Depends comes from the linked libraries, lintian's verdict, and an install
// and removal in a throwaway dpkg root that keep what the site added.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/readers.h"
#include "tests/ship_tools.h"

namespace {

namespace fs = std::filesystem;
using namespace shiptest;  // the packaging tests' helpers
using testhost::lines_of;

const std::string kVersion = VEXOR_VERSION;
const std::string kBuild = VEXOR_BUILD_DIR;
const std::string kSource = VEXOR_SOURCE_DIR;

// "mode owner path" of every entry of the package's data archive.
const std::vector<std::string> kDebContents = {
    "drwxr-xr-x root/root ./opt/",
    "drwxr-xr-x root/root ./opt/vexor/",
    "-rwxr-xr-x root/root ./opt/vexor/getqrvninfo",
    "drwxr-xr-x root/root ./opt/vexor/man/",
    "drwxr-xr-x root/root ./opt/vexor/man/man1/",
    "-rw-r--r-- root/root ./opt/vexor/man/man1/vexor.1",
    "drwxr-xr-x root/root ./opt/vexor/nic_fw/",
    "-rwxr-xr-x root/root ./opt/vexor/vexor",
    "drwxr-xr-x root/root ./usr/",
    "drwxr-xr-x root/root ./usr/share/",
    "drwxr-xr-x root/root ./usr/share/doc/",
    "drwxr-xr-x root/root ./usr/share/doc/vexor/",
    "-rw-r--r-- root/root ./usr/share/doc/vexor/changelog.gz",
    "-rw-r--r-- root/root ./usr/share/doc/vexor/copyright",
    "drwxr-xr-x root/root ./usr/share/man/",
    "drwxr-xr-x root/root ./usr/share/man/man1/",
    "-rw-r--r-- root/root ./usr/share/man/man1/vexor.1.gz",
};

// The path of a kDebContents entry relative to the root ("opt/vexor/vexor").
std::string path_of(const std::string& entry) { return entry.substr(entry.rfind(" ./") + 3); }

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

std::string host_architecture() { return first_line(shell("dpkg --print-architecture").out); }

// The package's data archive as kDebContents lists it (sizes and dates left
// out).
std::vector<std::string> deb_contents(const fs::path& deb) {
  Shell r = shell("dpkg-deb -c " + quoted(deb.string()));
  EXPECT_EQ(r.status, 0) << r.out;
  std::vector<std::string> entries;
  for (const std::string& line : lines_of(r.out)) {
    std::istringstream words(line);
    std::string mode, owner, size, date, time, path;
    words >> mode >> owner >> size >> date >> time >> path;
    entries.push_back(mode + " " + owner + " " + path);
  }
  return entries;
}

std::string control_field(const fs::path& deb, const std::string& name) {
  Shell r = shell("dpkg-deb -f " + quoted(deb.string()) + " " + name);
  EXPECT_EQ(r.status, 0) << r.out;
  return first_line(r.out);
}

// The Debian packages that hold the shared libraries the built programs are
// linked with: what Depends has to name.
std::set<std::string> packages_of_linked_libraries() {
  std::set<std::string> sonames;
  for (const char* program : {"vexor", "getqrvninfo"}) {
    Shell r = shell("objdump -p " + quoted(kBuild + "/" + program));
    EXPECT_EQ(r.status, 0) << r.out;
    static const std::regex needed(R"(^\s*NEEDED\s+(\S+)$)");
    std::smatch m;
    for (const std::string& line : lines_of(r.out))
      if (std::regex_match(line, m, needed)) sonames.insert(m[1]);
  }
  const std::string arch_suffix = ":" + host_architecture();
  std::set<std::string> packages;
  for (const std::string& soname : sonames) {
    // "libxml2:amd64: /usr/lib/x86_64-linux-gnu/libxml2.so.2"; other
    // architectures' copies (lib32...) do not count.
    Shell r = shell("dpkg -S " + quoted("*/" + soname));
    EXPECT_EQ(r.status, 0) << soname << ": " << r.out;
    for (const std::string& line : lines_of(r.out)) {
      std::string package = line.substr(0, line.find(": "));
      if (package.ends_with(arch_suffix))
        packages.insert(package.substr(0, package.size() - arch_suffix.size()));
    }
  }
  return packages;
}

// Builds the Debian package into a scratch directory for each test.
class DebPackage : public testhost::RunStateTest {
 protected:
  void SetUp() override {
    RunStateTest::SetUp();
    deb_ = pack("DEB", scratch_.path() / "pkg", ".deb");
    ASSERT_FALSE(deb_.empty());
  }

  // Unpacks the package's files into dir.
  void extract(const fs::path& dir) {
    Shell r = shell("dpkg-deb -x " + quoted(deb_.string()) + " " + quoted(dir.string()));
    ASSERT_EQ(r.status, 0) << r.out;
  }

  ScratchDir scratch_{"vexor-deb"};
  fs::path deb_;
};

}  // namespace

TEST_F(DebPackage, HoldsExactlyTheComponentUnderOptAndDebiansFiles) {
  EXPECT_EQ(sorted(deb_contents(deb_)), sorted(kDebContents));

  // /opt/vexor is the tree "cmake --install" lays out as the component.
  const fs::path unpacked = scratch_.path() / "unpacked";
  extract(unpacked);
  const fs::path installed = scratch_.path() / "installed";
  Shell r = shell("cmake --install " + quoted(kBuild) + " --prefix " + quoted(installed.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(tree_of(unpacked / "opt/vexor"), tree_of(installed));
}

TEST_F(DebPackage, ShipsStrippedProgramsAndTheManualWhereManLooks) {
  const fs::path unpacked = scratch_.path() / "unpacked";
  extract(unpacked);
  auto sections = [](const fs::path& program) {
    Shell r = shell("readelf -S -W " + quoted(program.string()));
    EXPECT_EQ(r.status, 0) << r.out;
    return r.out;
  };
  for (const char* program : {"vexor", "getqrvninfo"}) {
    // The build keeps its symbols and debug information; the package not.
    ASSERT_NE(sections(kBuild + "/" + program).find(" .symtab "), std::string::npos) << program;
    const std::string shipped = sections(unpacked / "opt/vexor" / program);
    EXPECT_EQ(shipped.find(" .symtab "), std::string::npos) << program << "\n" << shipped;
    EXPECT_EQ(shipped.find(" .debug_"), std::string::npos) << program << "\n" << shipped;
  }

  const std::string page = file_text(kSource + "/man/vexor.1");
  EXPECT_EQ(file_text(unpacked / "opt/vexor/man/man1/vexor.1"), page);
  const fs::path manpath = unpacked / "usr/share/man";
  Shell found = shell("man --manpath=" + quoted(manpath.string()) + " -w vexor");
  EXPECT_EQ(found.status, 0) << found.out;
  EXPECT_EQ(found.out, (manpath / "man1/vexor.1.gz").string() + "\n");
  Shell unzipped = shell("zcat " + quoted((manpath / "man1/vexor.1.gz").string()));
  EXPECT_EQ(unzipped.out, page);
}

TEST_F(DebPackage, ControlFieldsNameTheProjectVersionAndTheLinkedLibraries) {
  const std::string arch = host_architecture();
  EXPECT_EQ(deb_.filename().string(), "vexor_" + kVersion + "_" + arch + ".deb");
  EXPECT_EQ(control_field(deb_, "Package"), "vexor");
  EXPECT_EQ(control_field(deb_, "Version"), kVersion);
  EXPECT_EQ(control_field(deb_, "Architecture"), arch);
  EXPECT_EQ(control_field(deb_, "Section"), "admin");
  EXPECT_EQ(control_field(deb_, "Priority"), "optional");
  EXPECT_TRUE(std::regex_match(control_field(deb_, "Maintainer"),
                               std::regex(R"([^<>]+ <[^@<> ]+@[^@<> ]+\.[a-z]+>)")))
      << control_field(deb_, "Maintainer");
  EXPECT_EQ(control_field(deb_, "Description"),
            "Zentrik Quorvane InfiniBand Online Firmware Upgrade Utility for Linux");

  // As dpkg-shlibdeps writes it: one entry per package that holds a linked
  // library, with the lowest version the programs need where the library's
  // package says so ("libxml2 (>= 2.7.4)"; the sanitizer runtime does not).
  std::map<std::string, std::string> depends;  // package -> "(>= version)" or ""
  static const std::regex entry(R"(([a-z0-9][a-z0-9+.-]*)( \(>= [^()]+\))?)");
  std::istringstream list(control_field(deb_, "Depends"));
  for (std::string item; std::getline(list, item, ',');) {
    item.erase(0, item.find_first_not_of(' '));
    std::smatch m;
    EXPECT_TRUE(std::regex_match(item, m, entry)) << item;
    depends[m[1]] = m[2];
  }
  std::set<std::string> named;
  for (const auto& [package, version] : depends) named.insert(package);
  EXPECT_EQ(named, packages_of_linked_libraries());
  for (const char* package : {"libxml2", "libpci3", "libc6"})
    EXPECT_NE(depends[package], "") << package << " without a version in Depends";
}

TEST_F(DebPackage, VersionIsTheSameInTheChangelogAndTheManual) {
  const fs::path unpacked = scratch_.path() / "unpacked";
  extract(unpacked);
  Shell changelog =
      shell("zcat " + quoted((unpacked / "usr/share/doc/vexor/changelog.gz").string()));
  ASSERT_EQ(changelog.status, 0) << changelog.out;
  EXPECT_EQ(first_line(changelog.out), "vexor (" + kVersion + ") stable; urgency=medium");
  // The footer of the manual: .TH VEXOR 1 "date" "vexor VERSION" ...
  EXPECT_NE(file_text(kSource + "/man/vexor.1").find("\" \"vexor " + kVersion + "\" \""),
            std::string::npos);
}

// Lintian's own verdict, offline. What it may say is what the component
// layout requires: vexor runs from one self-contained directory in /opt
// (Debian keeps /opt for add-on software), so every path there is reported.
TEST_F(DebPackage, LintianReportsOnlyTheComponentDirectoryInOpt) {
  Shell r = shell("lintian " + quoted(deb_.string()));
  std::vector<std::string> said;
  for (const std::string& line : lines_of(r.out))
    if (line != "running with root privileges is not recommended!") said.push_back(line);
  std::vector<std::string> expected;
  for (const std::string& entry : kDebContents) {
    const std::string path = path_of(entry);
    if (path.starts_with("opt/vexor/"))
      expected.push_back("E: vexor: dir-or-file-in-opt [" + path + "]");
  }
  EXPECT_EQ(sorted(said), sorted(expected)) << r.out;
}

// ------------------------------------------- install and removal by dpkg

// An empty dpkg database in a scratch root: dpkg installs and removes there
// and never touches this machine's own files or database.
class DpkgRoot {
 public:
  explicit DpkgRoot(const fs::path& dir) : dir_(dir) {
    fs::create_directories(dir_ / "var/lib/dpkg");
    std::ofstream(dir_ / "var/lib/dpkg/status");
  }

  // Runs dpkg on the root with args. The libraries vexor depends on are
  // this machine's, not the root's, so dependencies are not checked there.
  Shell dpkg(const std::string& args) const {
    return shell("dpkg --root=" + quoted(dir_.string()) + " --log=" +
                 quoted((dir_.parent_path() / "dpkg.log").string()) + " --force-depends " + args);
  }

  // dpkg's status of vexor in the root, or "" when it does not know it.
  std::string status() const {
    Shell r = shell("dpkg-query --admindir=" + quoted((dir_ / "var/lib/dpkg").string()) +
                    " -W -f='${Status}' vexor");
    return r.status == 0 ? r.out : "";
  }

  // tree_of the root without dpkg's own database.
  std::vector<std::string> files() const {
    std::vector<std::string> kept;
    for (const std::string& line : tree_of(dir_))
      if (!line.substr(line.find(' ', 2) + 1).starts_with("var")) kept.push_back(line);
    return kept;
  }

  const fs::path& dir() const { return dir_; }

 private:
  fs::path dir_;
};

std::string host_status_of_vexor() { return shell("dpkg-query -W -f='${Status}' vexor").out; }

struct RemovalCase {
  const char* label;
  const char* action;  // dpkg's option
};

void PrintTo(const RemovalCase& c, std::ostream* os) { *os << c.label; }

class DebRemoval : public DebPackage, public ::testing::WithParamInterface<RemovalCase> {};

TEST_P(DebRemoval, LeavesWhatTheSiteAddedAndNothingOfThePackage) {
  const std::string host_before = host_status_of_vexor();
  DpkgRoot root(scratch_.path() / "root");

  Shell r = root.dpkg("-i " + quoted(deb_.string()));
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(root.status(), "install ok installed");
  for (const std::string& entry : kDebContents)
    EXPECT_TRUE(fs::exists(root.dir() / path_of(entry))) << entry;
  const fs::path component = root.dir() / "opt/vexor";
  r = shell(quoted((component / "vexor").string()) + " --version");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "vexor " + kVersion + "\n");

  // The site's data: the catalog and flash utility in nic_fw/, and the event
  // log a run leaves beside vexor.
  const std::string catalog = "<NICFWData/>\n";
  std::ofstream(component / "nic_fw/NICFWData.xml") << catalog;
  std::ofstream(component / "nic_fw/pyxflash") << "#!/bin/sh\n";
  fs::permissions(component / "nic_fw/pyxflash", fs::perms(0755));
  std::ofstream(component / "pyxflash.log") << "[INFO]     a run\n";

  r = root.dpkg(std::string(GetParam().action) + " vexor");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("directory '/opt/vexor/nic_fw' not empty so not removed"), std::string::npos)
      << r.out;
  EXPECT_EQ(root.status(), "");
  EXPECT_EQ(root.files(),
            sorted({"d 0755 opt", "d 0755 opt/vexor", "d 0755 opt/vexor/nic_fw",
                    "f 0644 opt/vexor/nic_fw/NICFWData.xml", "f 0755 opt/vexor/nic_fw/pyxflash",
                    "f 0644 opt/vexor/pyxflash.log"}));
  EXPECT_EQ(file_text(component / "nic_fw/NICFWData.xml"), catalog);

  EXPECT_EQ(host_status_of_vexor(), host_before) << "dpkg changed this machine's database";
}

INSTANTIATE_TEST_SUITE_P(Actions, DebRemoval,
                         ::testing::Values(RemovalCase{"remove", "-r"}, RemovalCase{"purge", "-P"}),
                         [](const auto& info) { return std::string(info.param.label); });
