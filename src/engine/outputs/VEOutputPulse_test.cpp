// PulseAudio: a private server with a null sink is started for the test; a
// tone played through the engine must be heard on the sink's monitor.
// Skipped where no server can be started here.
#include "VEOutputPulse.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cmath>

#include "VETestSupport.h"

using namespace vetest;

namespace {

// Starts argv with stdout sent to output (or /dev/null); answers its pid.
pid_t spawn(const std::vector<std::string>& argv, const std::string& output = "/dev/null") {
  pid_t pid = fork();
  if (pid != 0) return pid;
  int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  int null = open("/dev/null", O_WRONLY);
  if (out >= 0) dup2(out, 1);
  if (null >= 0) dup2(null, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  execvp(args[0], args.data());
  _exit(127);
}

void stop(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

class VEOutputPulseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FileServer::instance().reset();
    std::string runtime = path("pulse-runtime");
    mkdir(runtime.c_str(), 0700);
    chmod(runtime.c_str(), 0700);
    setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", (runtime + "/pulse").c_str(), 1);
    server_ = spawn({"pulseaudio", "--daemonize=no", "-n", "--load=module-native-protocol-unix",
                     "--load=module-null-sink sink_name=test", "--exit-idle-time=-1",
                     "--disallow-exit", "--log-target=stderr"});
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      if (std::system("pactl info >/dev/null 2>&1") == 0) {
        ready_ = true;
        break;
      }
      int status = 0;
      if (waitpid(server_, &status, WNOHANG) == server_) {
        server_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
  void TearDown() override {
    stop(server_);
    unsetenv("PULSE_RUNTIME_PATH");
  }

  pid_t server_ = -1;
  bool ready_ = false;
};

}  // namespace

TEST_F(VEOutputPulseTest, ToneIsHeardOnTheNullSinkMonitor) {
  if (!ready_) GTEST_SKIP() << "no PulseAudio server could be started here";
  Fixture tone = flac("pulse-tone", 1.5, 44100, 2, 1000);
  FileServer::instance().addFile("tone", tone.file);

  VESystem* system = nullptr;
  VESystem::create(&system);
  ASSERT_EQ(VE_OK, system->setOutput(VE_OUTPUTTYPE_PULSEAUDIO));
  int count = 0;
  ASSERT_EQ(VE_OK, system->getNumDrivers(&count));
  int testSink = -1;
  for (int i = 0; i < count; ++i) {
    VEGuid guid{};
    char name[256];
    system->getDriverInfo(i, name, sizeof name, &guid);
    if (guid.data1 == VEOutput::driverId("test")) testSink = i;
  }
  ASSERT_GE(testSink, 0) << "the null sink is not among the drivers";
  ASSERT_EQ(VE_OK, system->setDriver(testSink));
  FileServer::instance().install(system, 4096, 65536);
  ASSERT_EQ(VE_OK, system->init(4, 0, nullptr));

  std::string recording = path("pulse-monitor.raw");
  pid_t recorder = spawn({"parec", "-d", "test.monitor", "--raw", "--format=s16le", "--rate=44100",
                          "--channels=2"},
                         recording);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  VESound* sound = nullptr;
  system->createStream("tone", VE_MODE_NONBLOCKING, &sound);
  ASSERT_EQ(VE_OPENSTATE_READY, waitOpened(system, sound));
  VEChannel* channel = nullptr;
  ASSERT_EQ(VE_OK, system->playSound(0, sound, false, &channel));
  EndLog log;
  channel->setUserData(&log);
  channel->setCallback(recordEnd);
  ASSERT_TRUE(updateUntil(system, [&] { return !log.channels.empty(); }));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  stop(recorder);
  system->release();

  std::vector<uint8_t> bytes = readFile(recording);
  const auto* samples = reinterpret_cast<const int16_t*>(bytes.data());
  size_t frames = bytes.size() / 4;
  ASSERT_GT(frames, 44100u / 2) << "nothing recorded";
  // The loud part: its level and its pitch (zero crossings of the left side).
  size_t loud = 0, crossings = 0;
  for (size_t i = 1; i < frames; ++i) {
    int16_t s = samples[i * 2];
    if (std::abs(s) > 2000) ++loud;
    if ((samples[(i - 1) * 2] < 0) != (s < 0) && std::abs(s) < 8000) ++crossings;
  }
  ASSERT_GT(loud, 44100u / 2) << "the tone is not on the monitor";
  // Two crossings per period over the tone's 1.5 s.
  double hertz = double(crossings) / 2 / 1.5;
  EXPECT_NEAR(1000.0, hertz, 100.0);
}
