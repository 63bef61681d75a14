// Fixtures shared by the tests: the run-wide state of a fresh process for
// every test, scratch directories, and simulated hosts, each kept for a look
// when the test fails.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <iostream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "main/vexor.h"
#include "sim/simhost.h"

namespace testhost {

// Starts and ends every test with the run-wide state of a fresh process.
class RunStateTest : public ::testing::Test {
 protected:
  void SetUp() override { reset_run_state(); }
  void TearDown() override { reset_run_state(); }
};

template <class Param>
class RunStateTestWithParam : public RunStateTest, public ::testing::WithParamInterface<Param> {};

// A fresh directory under the temporary directory. When it goes, it is
// removed, unless the running test has failed: then it is kept, and named on
// standard error.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& name = "vexor-test") {
    std::string tmpl = (std::filesystem::temp_directory_path() / (name + "-XXXXXX")).string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp " + tmpl + " failed");
    path_ = tmpl;
  }
  ~ScratchDir() {
    if (::testing::Test::HasFailure()) {
      std::cerr << "kept " << path_.string() << " for a look\n";
    } else {
      std::error_code ec;
      std::filesystem::remove_all(path_, ec);
    }
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// While it lives, dir is the working directory; the one before comes back after.
class WorkingDir {
 public:
  explicit WorkingDir(const std::filesystem::path& dir) : old_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~WorkingDir() {
    std::error_code ec;
    std::filesystem::current_path(old_, ec);
  }
  WorkingDir(const WorkingDir&) = delete;
  WorkingDir& operator=(const WorkingDir&) = delete;

 private:
  std::filesystem::path old_;
};

// Simulated hosts of one test. Each host the test lays out lives until the
// test ends, and every one of them is kept for a look when the test fails.
class HostTest : public RunStateTest {
 protected:
  // Lays out a host in a fresh directory and returns it.
  sim::SimHost& host(sim::HostSpec desc) {
    hosts_.push_back(std::make_unique<sim::SimHost>(std::move(desc)));
    return *hosts_.back();
  }
  // The host laid out last.
  sim::SimHost& host() {
    if (hosts_.empty()) throw std::logic_error("the test has laid out no host");
    return *hosts_.back();
  }
  // Lays out a host and runs vexor on it once.
  sim::RunResult run(sim::HostSpec desc, const std::vector<std::string>& args,
                     const std::string& stdin_text = "") {
    return host(std::move(desc)).run(args, stdin_text);
  }
  void TearDown() override {
    if (HasFailure()) {
      for (auto& h : hosts_) {
        h->keep();
        std::cerr << "simulated host kept in " << h->dir() << "\n";
      }
    }
    RunStateTest::TearDown();
  }

 private:
  std::vector<std::unique_ptr<sim::SimHost>> hosts_;
};

template <class Param>
class HostTestWithParam : public HostTest, public ::testing::WithParamInterface<Param> {};

// The lines of text that start as vexor's reason lines do.
inline std::vector<std::string> reason_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (line.rfind("vexor: ", 0) == 0) lines.push_back(line);
  return lines;
}

// Expects err (a run's standard error) to hold exactly one reason line,
// holding each of words; with no words, none at all. Returns the line ("").
inline std::string expect_reason(const std::string& err, const std::vector<std::string>& words) {
  const std::vector<std::string> said = reason_lines(err);
  if (words.empty()) {
    EXPECT_TRUE(said.empty()) << err;
    return {};
  }
  if (said.size() != 1) {
    ADD_FAILURE() << "not one reason line:\n" << err;
    return {};
  }
  for (const std::string& w : words)
    EXPECT_NE(said[0].find(w), std::string::npos) << w << "\nnot in: " << said[0];
  return said[0];
}

// The addresses the flash utility was asked to burn, in order.
inline std::vector<std::string> burned_addresses(const sim::SimHost& host) {
  std::vector<std::string> burned;
  for (const auto& burn : host.burns())
    burned.push_back(burn.size() >= 4 ? burn[burn.size() - 4] : "?");
  return burned;
}

}  // namespace testhost
