// telmoctl as an operator runs it: human and JSON output, errors, exit codes,
// options after the command, and the log command.
#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/process.h"
#include "requests/request_support.h"
#include "util/text.h"

namespace telmo::test {
namespace {

struct Outcome {
  int rc = -1;
  std::string out;  ///< standard output alone
  std::string err;
};

class Telmoctl : public ::testing::Test {
 protected:
  // The server table is process-wide: the next case starts from an empty one.
  void TearDown() override {
    for (auto& record : gServerTable.TakeAll()) config::FreeServerRecord(gProcessTable, std::move(record));
  }

  Outcome Run(const std::vector<std::string>& args) {
    const fs::path err = manager_.node.root() / "telmoctl.err";
    const ProgramRun run = RunProgram(BuiltProgram("telmoctl"), args, 20000, err);
    return {run.exit_code, run.output, ReadFile(err)};
  }

  static nlohmann::json Json(const Outcome& o) {
    auto j = nlohmann::json::parse(o.out, nullptr, false);
    EXPECT_TRUE(j.is_object()) << o.out;
    return j;
  }

  ManagerNode manager_;
};

TEST_F(Telmoctl, StatusShowsLabelsAndEscapesControlCharactersOptionsMayFollowTheCommand) {
  manager_.AddServer("Line\x1b]0;owned\x07 1", "PLANT_DLGP",
                     {manager_.ServingComponent("Gateway", "plant_dlgp", "PLANT_DLGP")});
  RequestWorker worker(manager_);
  (void)RequestWorker::Connect();  // listening

  ASSERT_EQ(Run({"start", "PLANT_DLGP"}).rc, 0);
  ASSERT_TRUE(manager_.WaitReady("PLANT_DLGP"));

  auto r = Run({"status", "PLANT_DLGP", "--json"});
  ASSERT_EQ(r.rc, 0) << r.err;
  auto j = Json(r);
  EXPECT_EQ(j["ok"], true);
  EXPECT_EQ(j["run_status"], 2);
  EXPECT_EQ(j["run_status_label"], "running");
  EXPECT_EQ(j["server"], "Line\x1b]0;owned\x07 1");
  EXPECT_EQ(j["components"][0]["run_status_label"], "running");

  r = Run({"status", "PLANT_DLGP"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Server Line\\e]0;owned\\x07 1 (PLANT_DLGP): running"), std::string::npos) << r.out;

  r = Run({"status", "NOSUCH", "--json"});
  EXPECT_EQ(r.rc, 1);
  j = Json(r);
  EXPECT_EQ(j["ok"], false);
  EXPECT_EQ(j["exit_code"], 1);
  EXPECT_EQ(j["codes"][0]["code"], 15017);

  // The manager's reply time-out has its own name; values that would stop
  // the node are refused before anything is sent.
  r = Run({"params", "set", "--reply-timeout", "50", "--json"});
  ASSERT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(Json(r)["reply_timeout"], 50);
  for (const auto& bad : {"--check-period", "--reply-timeout"}) {
    r = Run({"params", "set", bad, "0", "--json"});
    EXPECT_EQ(r.rc, 2) << bad;
    EXPECT_EQ(Json(r)["exit_code"], 2);
  }
  EXPECT_EQ(Json(Run({"params", "get", "--json"}))["reply_timeout"], 50);
}

TEST_F(Telmoctl, StatusWithoutAServiceListsEveryServerOfTheNode) {
  manager_.AddServer("Plant", "PLANT_DLGP", {manager_.ServingComponent("Gateway", "plant_dlgp", "PLANT_DLGP")});
  manager_.AddServer("Spare", "SPARE_DLGP", {});
  RequestWorker worker(manager_);
  (void)RequestWorker::Connect();  // listening
  const auto started = Run({"start", "PLANT_DLGP"});
  ASSERT_EQ(started.rc, 0) << started.out << started.err;
  ASSERT_TRUE(manager_.WaitReady("PLANT_DLGP"));

  auto r = Run({"status", "--json"});
  ASSERT_EQ(r.rc, 0) << r.err;
  const auto servers = Json(r)["servers"];
  ASSERT_EQ(servers.size(), 2u) << r.out;
  EXPECT_EQ(servers[0]["name"], "Plant");
  EXPECT_EQ(servers[0]["run_status"], 2);
  EXPECT_EQ(servers[0]["components"][0]["run_status"], 1);
  EXPECT_EQ(servers[1]["service"], "SPARE_DLGP");
  EXPECT_EQ(servers[1]["run_status"], 0);

  r = Run({"status"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_NE(r.out.find("PLANT_DLGP"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("SPARE_DLGP"), std::string::npos) << r.out;

  r = Run({"list", "servers", "--xml"});
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_NE(r.out.find("<Server name=\"Spare\" dlgpService=\"SPARE_DLGP\""), std::string::npos) << r.out;
  EXPECT_NE(r.out.find(">\n  <Server "), std::string::npos) << r.out;  // one element a line, as the manager sent it
}

TEST_F(Telmoctl, StatusShowsEachProcessWithItsPidUptimeAndRestarts) {
  ServerRecord& server = manager_.AddServer(
      "Plant", "PLANT_DLGP", {manager_.ServingComponent("Gateway", "plant_dlgp", "PLANT_DLGP")});
  RequestWorker worker(manager_);
  (void)RequestWorker::Connect();
  ASSERT_EQ(Run({"params", "set", "--check-period", "9"}).rc, 0);  // a check on every idle pass
  ASSERT_EQ(Run({"start", "PLANT_DLGP"}).rc, 0);
  ASSERT_TRUE(manager_.WaitReady("PLANT_DLGP"));
  const DWORD first = RecordedPid(server, 0);

  auto j = Json(Run({"status", "PLANT_DLGP", "--json"}));
  EXPECT_EQ(j["components"][0]["pid"], first);
  EXPECT_EQ(j["components"][0]["restarts"], 0);
  EXPECT_GE(j["components"][0]["uptime_seconds"], 0);
  EXPECT_NE(Run({"status", "PLANT_DLGP"}).out.find(telmo::Format("running              pid %u, uptime 0:00:", first)),
            std::string::npos);

  ASSERT_TRUE(CrashProcess(first));
  ASSERT_TRUE(Eventually([&] { return RecordedPid(server, 0) != 0 && RecordedPid(server, 0) != first; }, 10s));
  j = Json(Run({"status", "PLANT_DLGP", "--json"}));
  EXPECT_EQ(j["components"][0]["pid"], RecordedPid(server, 0));
  EXPECT_EQ(j["components"][0]["restarts"], 1);
}

TEST_F(Telmoctl, ErrorsComeAsJsonOnStandardOutputWithTheSameExitCodes) {
  const std::string port = std::to_string(FreeLoopbackPort());
  auto r = Run({"params", "get", "--port", port});
  EXPECT_EQ(r.rc, 3);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("telmoctl: no TELMO Manager answered on 127.0.0.1:" + port), std::string::npos) << r.err;

  r = Run({"status", "PLANT1", "--json", "--port", port});
  EXPECT_EQ(r.rc, 3);
  auto j = Json(r);
  EXPECT_EQ(j["ok"], false);
  EXPECT_EQ(j["exit_code"], 3);
  EXPECT_NE(j["message"].get<std::string>().find("no TELMO Manager answered"), std::string::npos);

  r = Run({"--timeout", "0", "params", "get"});
  EXPECT_EQ(r.rc, 2);
  EXPECT_NE(r.err.find("above 0 and at most 3600"), std::string::npos) << r.err;

  r = Run({"reg", "query", "HKLM\\SOFTWARE\\Missing", "--json"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_EQ(Json(r)["exit_code"], 1);
  r = Run({"--json", "reg", "add", "HKLM\\SOFTWARE\\Zarvelco\\TELMO", "/v", "X", "/t", "REG_QWORD"});
  EXPECT_EQ(r.rc, 2);
  EXPECT_EQ(Json(r)["exit_code"], 2);
}

TEST_F(Telmoctl, LogShowsTheLastLinesAndFollowsAcrossRotation) {
  const fs::path log = manager_.node.log_dir() / "management.log";
  WriteFile(log, "one\ntwo\nthree\nunfinished");
  auto r = Run({"log", "--lines", "2"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.out, "two\nthree\n");

  const fs::path out = manager_.node.root() / "follow.out";
  platform::SpawnOptions options;
  options.program = BuiltProgram("telmoctl").string();
  options.arguments = {"log", "--follow", "--lines", "1"};
  options.output_path = out.string();
  auto follower = platform::SpawnProcess(options);
  ASSERT_TRUE(follower);
  ASSERT_TRUE(Eventually([&] { return ReadFile(out) == "three\n"; })) << ReadFile(out);
  {
    std::ofstream append(log, std::ios::app);
    append << " line\nfour\n";
  }
  ASSERT_TRUE(Eventually([&] { return ReadFile(out) == "three\nunfinished line\nfour\n"; })) << ReadFile(out);
  fs::rename(log, log.string() + ".1");
  WriteFile(log, "five\n");
  EXPECT_TRUE(Eventually([&] { return ReadFile(out) == "three\nunfinished line\nfour\nfive\n"; })) << ReadFile(out);
  TerminateProcess(*follower, 1);
  WaitForSingleObject(*follower, 5000);
}

}  // namespace
}  // namespace telmo::test
