// The download history: one well-formed line per append that an independent JSON parser reads,
// a missing folder made private, a torn last line skipped and kept apart from the next record,
// and a folder that cannot be written logged without failing the caller.

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "download/history.h"
#include "platform/os/log.h"

namespace {

namespace fs = std::filesystem;
using pv::download::DownloadRecord;

// The variable that moves the user's state folder.
#ifdef _WIN32
constexpr char kStateVariable[] = "LOCALAPPDATA";
#else
constexpr char kStateVariable[] = "XDG_STATE_HOME";
#endif

void setStateVariable(const std::string& value) {
#ifdef _WIN32
    ::_putenv_s(kStateVariable, value.c_str());
#else
    if (value.empty())
        ::unsetenv(kStateVariable);
    else
        ::setenv(kStateVariable, value.c_str(), 1);
#endif
}

class History : public ::testing::Test {
  protected:
    void SetUp() override {
        root_ = fs::path(::testing::TempDir()) / ("history-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override {
        setStateVariable("");
        fs::remove_all(root_);
    }
    std::string useState(const fs::path& state) {
        setStateVariable(state.string());
        return pv::download::historyPath();
    }
    static DownloadRecord record(std::string message) {
        DownloadRecord r{"2024-05-01T09:30:12Z",
                         "2024-05-01T09:33:40Z",
                         "1-1",
                         {},
                         {},
                         {},
                         "success",
                         std::move(message),
                         "",
                         "1-1"};
        r.before = {"301B10", "705A10", 0x1A2B, 0x00FF};
        r.after = {"301F11", "", 0xBEEF, std::nullopt};
        r.imagesSent = {"main-301F11", "table-705B11"};
        return r;
    }
    fs::path root_;
};

TEST_F(History, EachAppendAddsOneLineThatAJsonParserReadsInAPrivateNewFolder) {
    const std::string path = useState(root_ / "a" / "state");
    EXPECT_EQ(path, (root_ / "a" / "state" / "pv4410s-updater" / "history.jsonl").string());
    // Quotes, backslash, control characters, valid UTF-8 (with U+2028, U+2029 and U+0085, which
    // some tools take for line ends) and a stray byte from a printer.
    const std::string awkward =
        "say \"hi\"\\\n\x01\x7f caf\xc3\xa9 \xe2\x80\xa8\xe2\x80\xa9\xc2\x85\xff\xc3";
    ASSERT_TRUE(pv::download::appendHistory(record("Success!")));
    ASSERT_TRUE(pv::download::appendHistory(record(awkward)));

#ifndef _WIN32  // (on Windows the folders inherit the user's folder's protection)
    EXPECT_EQ(fs::status(root_ / "a").permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(root_ / "a/state/pv4410s-updater").permissions(), fs::perms::owner_all);
#endif
    const auto lines = pv::download::readHistory();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], pv::download::historyLine(record("Success!")));
    // The stray bytes read as Latin-1: U+00FF, U+00C3.
    EXPECT_EQ(
        pv::download::parseRecord(lines[1])->message,
        "say \"hi\"\\\n\x01\x7f caf\xc3\xa9 \xe2\x80\xa8\xe2\x80\xa9\xc2\x85\xc3\xbf\xc3\x83");
    EXPECT_EQ(lines[1].find("\xe2\x80\xa8"), std::string::npos) << "written escaped";

#ifndef _WIN32  // (no Python under Wine)
    const std::string check =
        "/usr/bin/python3 -c 'import json,sys\n"
        "rows=[json.loads(l) for l in open(sys.argv[1],encoding=\"utf-8\").read().splitlines()]\n"
        "assert len(rows)==2 and rows[0][\"before\"][\"main_checksum\"]==\"1A2B\"\n"
        "assert rows[0][\"serial\"] is None and rows[0][\"port\"]==\"1-1\"\n"
        "assert rows[0][\"after\"][\"table\"] is None and "
        "rows[1][\"message\"].endswith(\"\\xff\\xc3\")'"
        " " +
        path;
    EXPECT_EQ(std::system(check.c_str()), 0);
#endif
}

TEST_F(History, ATornLastLineIsSkippedAndTheNextRecordStartsOnALineOfItsOwn) {
    const std::string path = useState(root_);
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << pv::download::historyLine(record("first")) << "\n{\"format\":1,\"sta";
    EXPECT_EQ(pv::download::readHistory().size(), 1u);

    ASSERT_TRUE(pv::download::appendHistory(record("second")));
    const auto lines = pv::download::readHistory();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], pv::download::historyLine(record("second")));
}

// Lines as earlier versions wrote them still read; a later format, or a line that is valid JSON
// but no record, does not.
TEST_F(History, LinesOfEarlierWritersReadAndOthersAreSkipped) {
    const std::string path = useState(root_);
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path)
        << R"({"format":1,"start":"2024-05-01T09:30:12Z","end":"2024-05-01T09:33:40Z",)"
           R"("printer":"1-1","before":{"main":"301B10","main_checksum":"1A2B","table":null,)"
           R"("table_checksum":null},"after":{"main":null,"main_checksum":null,"table":null,)"
           R"("table_checksum":null},"images_sent":[],"outcome":"time-out",)"
           R"("message":"caf\u00e9 \u007f\u00ff","extra":[1,{"x":2}]})"
           "\n"
        << R"({"format":2,"start":"2030-01-01T00:00:00Z"})"
        << "\n[1,2]\n{\"start\":\"a\"\n";
    // A record with a member nested 200,000 levels deep: skipped, not parsed or written out.
    std::string deep = pv::download::historyLine(record("deep"));
    deep.pop_back();
    std::ofstream(path, std::ios::app) << deep << R"(,"extra":)" << std::string(200'000, '[')
                                       << std::string(200'000, ']') << "}\n";
    const auto lines = pv::download::readHistory();
    ASSERT_EQ(lines.size(), 1u);
    const auto r = pv::download::parseRecord(lines[0]);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->printer, "1-1");
    EXPECT_TRUE(r->serial.empty() && r->port.empty());  // named by `printer` only
    EXPECT_EQ(r->before.main, "301B10");
    EXPECT_EQ(r->before.mainChecksum, 0x1A2B);
    EXPECT_FALSE(r->before.tableChecksum);
    EXPECT_TRUE(r->after.main.empty());
    EXPECT_EQ(r->outcome, "time-out");
    EXPECT_EQ(r->message, "caf\xc3\xa9 \x7f\xc3\xbf");
}

TEST_F(History, AFolderThatCannotBeWrittenIsLoggedAndTheCallerGoesOn) {
    os::CapturedLog log;
    std::ofstream(root_ / "file") << "not a folder";
    useState(root_ / "file" / "state");
    EXPECT_FALSE(pv::download::appendHistory(record("x")));
    EXPECT_TRUE(log.contains("cannot record the download in ")) << log.lines().at(0);
#ifdef _WIN32
    EXPECT_TRUE(log.contains("(error 267)"));  // ERROR_DIRECTORY
#else
    EXPECT_TRUE(log.contains("(ENOTDIR)"));

    // A history file replaced by a link (here to a full device) is not followed.
    const std::string path = useState(root_ / "linked");
    fs::create_directories(fs::path(path).parent_path());
    fs::create_symlink("/dev/full", path);
    EXPECT_FALSE(pv::download::appendHistory(record("x")));
    EXPECT_TRUE(log.contains("(ELOOP)"));
#endif
}

}  // namespace
