// The Linux settings folder followed through inotify, on a folder of the test's own.
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "platform/policy_folder.h"
#include "policy/settings_watcher.h"
#include "support/test_support.h"

namespace qelt {
namespace {

namespace fs = std::filesystem;

void write(const fs::path& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

std::string origins(const char* first, const char* second = nullptr) {
  return std::string(R"({"RestrictOrigins": 1, "AllowedOrigins": [")") + first + '"' +
         (second ? std::string(", \"") + second + '"' : "") + "]}";
}

// What the watcher applied, in order.
class applied_settings {
 public:
  void operator()(const agent_settings& settings) {
    const std::lock_guard<std::mutex> lock(mutex_);
    all_.push_back(settings);
    changed_.notify_all();
  }
  // Waits, with a deadline well above the 5 s the agent promises, until the settings
  // applied last have `count` allowed origins (-1: no restriction).
  bool reach(int count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(20), [&] {
      const agent_settings& last = all_.back();
      return last.origins ? static_cast<int>(last.origins->allowed.size()) == count : count == -1;
    });
  }
  std::vector<agent_settings> all() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return all_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<agent_settings> all_;
};

TEST(policy_folder, files_written_renamed_and_removed_are_followed_and_so_is_the_folder) {
  const test::temp_dir dir;
  const fs::path log = test::use_log_in(dir.path() / "logs");
  const fs::path folder = dir.path() / "etc" / "policies";  // made after the watch starts
  applied_settings applied;
  settings_watcher watcher;
  watcher.start(std::ref(applied), folder_settings_source(folder.string()));
  ASSERT_TRUE(applied.reach(-1));

  fs::create_directories(folder);
  // An editor's lock file beside it all along: a dot file, never read.
  write(folder / ".#50-web.json", "{");
  write(folder / "50-web.json", origins("https://a.test"));
  EXPECT_TRUE(applied.reach(1)) << "created";
  write(folder / "50-web.json", origins("https://a.test", "https://b.test"));
  EXPECT_TRUE(applied.reach(2)) << "changed";
  // Ansible: a dot-named temporary, then renamed into place.
  write(folder / ".50-web.json.4u7x", origins("https://c.test"));
  fs::rename(folder / ".50-web.json.4u7x", folder / "50-web.json");
  EXPECT_TRUE(applied.reach(1)) << "renamed into place";
  EXPECT_EQ(applied.all().back().origins->allowed.front().host, "c.test");
  fs::remove(folder / "50-web.json");
  EXPECT_TRUE(applied.reach(-1)) << "removed";

  write(folder / "50-web.json", origins("https://a.test", "https://b.test"));
  EXPECT_TRUE(applied.reach(2));
  fs::remove_all(dir.path() / "etc");
  EXPECT_TRUE(applied.reach(-1)) << "the folder removed";
  fs::create_directories(folder);
  write(folder / "60-web.json", origins("https://d.test"));
  EXPECT_TRUE(applied.reach(1)) << "the folder made again";
  watcher.stop();

  for (const agent_settings& settings : applied.all()) EXPECT_TRUE(settings.errors.empty()) << settings.errors[0];
  const std::string named = "origin policy (" + (folder / "60-web.json").string() +
                            "): 1 origin may read the addresses: https://d.test";
  bool logged = false;
  for (const test::log_record& record : test::read_records(log)) logged = logged || record.message == named;
  EXPECT_TRUE(logged) << "no record: " << named;
}

TEST(policy_folder, stop_ends_a_wait_at_once_and_every_wait_after_it) {
  const test::temp_dir dir;
  platform::policy_folder_watch watch(dir.path().string());
  bool changed = true;
  std::thread waiter([&] { changed = watch.wait(); });
  watch.stop();
  waiter.join();
  EXPECT_FALSE(changed);
  EXPECT_FALSE(watch.wait());
}

}  // namespace
}  // namespace qelt
