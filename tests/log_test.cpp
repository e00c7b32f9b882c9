#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <spdlog/pattern_formatter.h>

#include "log/daily_log_sink.h"
#include "log/log.h"
#include "log/log_retention.h"
#include "platform/log_files.h"
#include "support/test_support.h"

namespace qelt::log_sample {

// Records from a named function, so that the qualified function name can be checked.
int write_each_level() {
  QELT_INFO("plain {} and {}", "text", 42);
  QELT_LOG(spdlog::level::warn, "a warning");
  QELT_ERROR("an error");
  QELT_DEBUG("a debug record");
  QELT_LOG(spdlog::level::trace, "dropped at level debug");
  return __LINE__ - 5;  // the line of the first record
}

}  // namespace qelt::log_sample

namespace qelt {
namespace {

using test::read_file;
using test::read_records;
using test::temp_dir;

TEST(log, writes_each_record_in_the_record_format_with_crlf_and_no_colour_codes) {
  const temp_dir dir;
  const auto file = test::use_log_in(dir.path());
  const int first_line = log_sample::write_each_level();

  const auto records = read_records(file);
  ASSERT_EQ(records.size(), 4u) << read_file(file);
  const char* levels[] = {"info", "warning", "error", "debug"};
  const char* messages[] = {"plain text and 42", "a warning", "an error", "a debug record"};
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].level, levels[i]);
    EXPECT_EQ(records[i].file, "log_test.cpp");
    EXPECT_EQ(records[i].function, "qelt::log_sample::write_each_level");
    EXPECT_EQ(records[i].line, first_line + static_cast<int>(i));
    EXPECT_EQ(records[i].message, messages[i]);
  }
  const std::string text = read_file(file);
  EXPECT_EQ(text.find('\x1b'), std::string::npos);
  const auto count = [&text](const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
  };
  EXPECT_EQ(count(platform::record_end), 4u);
  EXPECT_EQ(count("\n"), 4u) << "every line ends with the system's line end";
  // The date in the record is today's local date, as in the file name.
  EXPECT_EQ(records[0].date_time.substr(0, 10), test::local_date());
}

TEST(log, record_from_main_carries_the_plain_function_name) {
  EXPECT_EQ(detail::qualified_name("int main(int, char**)"), "main");
  EXPECT_EQ(detail::qualified_name("void qelt::http_server::start()"), "qelt::http_server::start");
  EXPECT_EQ(detail::qualified_name("std::map<int, int> qelt::f(std::pair<int, int>)"), "qelt::f");
  EXPECT_EQ(detail::qualified_name("void __cdecl qelt::http_server::stop(void)"), "qelt::http_server::stop");
  EXPECT_EQ(detail::qualified_name("void qelt::(anonymous namespace)::f(int)"), "qelt::(anonymous namespace)::f");
  EXPECT_EQ(detail::qualified_name("void qelt::{anonymous}::f(int)"), "qelt::{anonymous}::f");
  EXPECT_STREQ(detail::short_file_name("C:\\src\\main\\main.cpp"), "main.cpp");
  EXPECT_STREQ(detail::short_file_name("/work/src/main/main.cpp"), "main.cpp");
  EXPECT_STREQ(detail::short_file_name("main.cpp"), "main.cpp");
}

TEST(log, record_is_in_the_file_when_the_call_returns) {
  const temp_dir dir;
  const auto file = test::use_log_in(dir.path());
  for (int i = 0; i < 3; ++i) {
    QELT_DEBUG("record {}", i);
    const auto records = read_records(file);
    ASSERT_EQ(records.size(), static_cast<std::size_t>(i + 1));
    EXPECT_EQ(records.back().message, "record " + std::to_string(i));
  }
}

TEST(log, second_create_on_the_same_day_appends_to_the_dated_file) {
  const temp_dir dir;
  const auto file = test::use_log_in(dir.path());
  EXPECT_EQ(file.filename().string(), "qelt_" + test::local_date() + ".log");
  QELT_INFO("first run");
  test::use_log_in(dir.path());
  QELT_INFO("second run");

  const auto records = read_records(file);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].message, "first run");
  EXPECT_EQ(records[1].message, "second run");
  // Only the one dated file: nothing else was created in the folder.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()),
                          std::filesystem::directory_iterator()),
            1);
}

TEST(log, missing_folders_are_created) {
  const temp_dir dir;
  const auto file = test::use_log_in(dir.path() / "logs" / "deeper");
  QELT_INFO("in a new folder");
  EXPECT_EQ(read_records(file).size(), 1u);
}

TEST(log, folder_that_cannot_be_created_throws_runtime_error_with_the_library_text) {
  const temp_dir dir;
  const auto good = test::use_log_in(dir.path());
  const auto before = log_manager::instance().get();
  // A regular file where the folder should be: the folder cannot be made.
  std::ofstream(dir.path() / "blocked") << "not a folder";
  const auto blocked = (dir.path() / "blocked" / "logs" / "qelt.log").string();
  try {
    log_manager::create(blocked, "QELT_LOGGER", "debug");
    FAIL() << "create did not throw";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find("blocked"), std::string::npos) << e.what();
  }
  // The logger in place stays in place.
  EXPECT_EQ(log_manager::instance().get(), before);
}

TEST(log, level_from_name_matches_whole_names_ignoring_case) {
  using spdlog::level::level_enum;
  const std::pair<const char*, level_enum> cases[] = {
      {"info", level_enum::info},   {"trace", level_enum::trace},  {"debug", level_enum::debug},
      {"DeBuG", level_enum::debug}, {"DEBUG", level_enum::debug},  {"warn", level_enum::warn},
      {"WARN", level_enum::warn},   {"error", level_enum::err},    {"Error", level_enum::err},
      {"critical", level_enum::critical}, {"off", level_enum::off}, {"OFF", level_enum::off},
      {"warning", level_enum::info}, {"err", level_enum::info},   {"", level_enum::info},
      {"debug ", level_enum::info}, {"deb", level_enum::info},    {"verbose", level_enum::info},
  };
  for (const auto& [name, level] : cases) {
    EXPECT_EQ(log_manager::level_from_name(name), level) << '"' << name << '"';
  }
}

TEST(log, level_set_by_name_filters_records) {
  const temp_dir dir;
  const auto file = dir.path() / ("qelt_" + test::local_date() + ".log");
  log_manager::create((dir.path() / "qelt.log").string(), "QELT_LOGGER", "WARN");
  QELT_INFO("dropped");
  QELT_ERROR("kept");
  const auto records = read_records(file);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message, "kept");
}

// One request's records, as a route writes them.
void answer_request(int number) {
  QELT_REQUEST_INFO("request {}", number);
  QELT_REQUEST_DEBUG("response for request {}", number);
  request_log::end();
}

TEST(log, request_records_stop_at_the_days_budget_whole_requests_at_a_time) {
  const temp_dir dir;
  const auto file = test::use_log_in(dir.path());
  QELT_INFO("started");
  constexpr std::uint64_t budget = 16 * 1024;
  log_manager::instance().set_request_budget(budget);
  for (int i = 0; i < 400; ++i) answer_request(i);
  QELT_INFO("stopped");

  const auto records = read_records(file);
  int warnings = 0, requests = 0, responses = 0;
  for (const auto& r : records) {
    if (r.level == "warning") ++warnings;
    requests += r.message.rfind("request ", 0) == 0 ? 1 : 0;
    responses += r.message.rfind("response ", 0) == 0 ? 1 : 0;
  }
  EXPECT_EQ(warnings, 1) << "one warning when the budget is spent";
  EXPECT_GT(requests, 20);
  EXPECT_LT(requests, 400);
  EXPECT_EQ(requests, responses) << "a request writes all its records or none";
  EXPECT_LE(test::read_file(file).size(), budget + 400) << "within the budget, the warning and start and stop";
  EXPECT_NE(records[records.size() - 2].message.find("request records are suppressed until midnight"), std::string::npos);
  EXPECT_EQ(records.back().message, "stopped") << "lifecycle records go on";

  // A restart the same day goes on from the day's file.
  test::use_log_in(dir.path());
  log_manager::instance().set_request_budget(budget);
  answer_request(1000);
  EXPECT_EQ(read_records(file).back().message.find("request 1000"), std::string::npos);
}

TEST(log, the_next_day_says_how_many_requests_went_unrecorded_and_retention_runs) {
  const temp_dir dir;
  const auto today = std::chrono::floor<std::chrono::days>(std::chrono::system_clock::now());
  const auto dated = [&](std::chrono::sys_days day) {
    const std::chrono::year_month_day ymd(day);
    char name[32];
    std::snprintf(name, sizeof name, "qelt_%04d-%02u-%02u.log", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return dir.path() / name;
  };
  // Kept today, too old once tomorrow comes.
  std::ofstream(dated(today - std::chrono::days(3))) << "old";
  daily_log_sink sink((dir.path() / "qelt.log").native(), 0, 0, "QELT_LOGGER");
  sink.set_formatter(std::make_unique<spdlog::pattern_formatter>("[%Y-%m-%d %H:%M:%S] [%l] [%s, %!:%#] %v",
                                                                 spdlog::pattern_time_type::local, platform::record_end));
  EXPECT_TRUE(sink.set_retention(3).deleted.empty());
  sink.set_budget(1);
  for (int i = 0; i < 5; ++i) sink.admit();

  const spdlog::details::log_msg next_day(spdlog::log_clock::now() + std::chrono::hours(24),
                                          spdlog::source_loc{"log_test.cpp", 1, "test"}, "QELT_LOGGER",
                                          spdlog::level::info, "first of the day");
  sink.log(next_day);
  sink.flush();
  const auto records = read_records(sink.filename());
  ASSERT_GE(records.size(), 3u);
  EXPECT_EQ(records[0].message, "5 requests went unrecorded on " + test::local_date() +
                                    ": the request log budget of 0 MiB a day was spent");
  EXPECT_EQ(records[0].function, "qelt::daily_log_sink::roll_day");
  EXPECT_EQ(records[1].message.rfind("log retention: deleted qelt_", 0), 0u) << records[1].message;
  EXPECT_EQ(records.back().message, "first of the day");
  EXPECT_FALSE(std::filesystem::exists(dated(today - std::chrono::days(3))));
}

TEST(log, retention_deletes_only_dated_daily_files_older_than_the_days) {
  const temp_dir dir;
  const std::chrono::sys_days today = std::chrono::year(2026) / 12 / 9;
  const char* kept[] = {"qelt_2026-12-09.log", "qelt_2026-11-09.log", "qelt_2026-12-08.log", "notes.txt",
                        "qelt_2025-01-01.log.bak", "qelt_2025-13-01.log", "qelt_2025-02-30.log", "other_2020-01-01.log",
                        "qelt-2020-01-01.log"};
  const char* deleted[] = {"qelt_2026-11-08.log", "qelt_2026-10-01.log", "qelt_2019-02-28.log"};
  for (const char* name : kept) std::ofstream(dir.path() / name) << name;
  for (const char* name : deleted) std::ofstream(dir.path() / name) << name;
  std::filesystem::create_directory(dir.path() / "qelt_2001-01-01.log");
  const retention_result result = delete_old_logs(dir.path(), "qelt", ".log", today, 30);
  EXPECT_EQ(result.deleted.size(), 3u);
  EXPECT_TRUE(result.failed.empty());
  for (const char* name : deleted) EXPECT_FALSE(std::filesystem::exists(dir.path() / name)) << name;
  for (const char* name : kept) EXPECT_TRUE(std::filesystem::exists(dir.path() / name)) << name;
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "qelt_2001-01-01.log"));
}

}  // namespace
}  // namespace qelt
