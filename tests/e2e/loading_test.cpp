// The ELF conversion seen from outside the launcher: the loader argument
// the simulator receives, the raw image it names, and the code printed when
// a conversion fails while the launch goes on.
#include <algorithm>
#include <optional>
#include <utility>

#include "e2e/harness.h"
#include "loading/elf_writer.h"

namespace {

using namespace elf_test;

const char kLoaderPrefix[] = "loader,force-raw=on,addr=";

struct Loader {
  std::string addr;   // as written, "0x..."
  std::string file;   // as the simulator received it
  fs::path host;      // the same file on this machine
};

class LoadingTest : public LaunchTest {
 protected:
  void SetUp() override {
    LaunchTest::SetUp();
    preseed_backing_files();
  }

  // The loader argument, which the launcher writes last; nullopt when the
  // line has no -device at all.
  std::optional<Loader> loader() const {
    const std::vector<std::string> args = recorded_args();
    size_t devices = 0;
    for (const std::string& arg : args) devices += arg == "-device";
    if (devices == 0) return std::nullopt;
    EXPECT_EQ(1u, devices);
    EXPECT_GE(args.size(), 2u);
    if (args.size() < 2) return std::nullopt;
    EXPECT_EQ("-device", args[args.size() - 2]) << "the loader comes last";
    const std::string& value = args.back();
    EXPECT_EQ(0u, value.find(kLoaderPrefix)) << value;
    const size_t addr_at = sizeof kLoaderPrefix - 1;
    const size_t file_at = value.find(",file=", addr_at);
    if (file_at == std::string::npos) {
      ADD_FAILURE() << "no file property: " << value;
      return std::nullopt;
    }
    Loader l;
    l.addr = value.substr(addr_at, file_at - addr_at);
    l.file = value.substr(file_at + 6);
    l.host = host_path(l.file);
    return l;
  }

  // The words of a launch that converts |elf|; -nographic keeps the line
  // short and free of display options.
  static std::vector<std::string> elf_words(const std::string& elf) {
    return {"-elf", elf, "-nographic"};
  }

  // Checks a launch whose conversion failed with |code|: the code is the
  // first line, the launch went on without a loader, no raw image is left.
  void expect_failed_launch(const RunResult& r, int code) {
    EXPECT_EQ(0, r.status);
    const std::string line = "copy cmd ret = " + std::to_string(code) + "\n";
    EXPECT_EQ(0u, r.out.find(line)) << r.out;
    EXPECT_EQ(std::string::npos, r.out.find("copy cmd ret", line.size())) << r.out;
    EXPECT_TRUE(standin_ran());
    EXPECT_FALSE(loader().has_value()) << "no -device argument after a failed conversion";
    EXPECT_TRUE(fs::is_empty(tmp_dir_)) << "no raw image is left";
  }
};

// Rule: a converted ELF reaches the simulator as the last argument,
// "-device loader,force-raw=on,addr=<first flash address>,file=<raw image>",
// after the -kernel argument; the raw image holds what objcopy -O binary
// makes of the same ELF, stays after the launch, and the simulator accepts
// the argument.
// An ELF path the interpreter would split or act on reaches it as one word,
// in the pass-through region as after -kernel.
TEST_F(LoadingTest, FixtureImagesReachTheSimulator) {
  fs::create_directory(work_dir_ / "First Last");
  const std::string odd = "a;touch INJECTED&echo INJECTED.elf";
  const std::pair<std::string, std::string> rows[] = {
      {"blink", "app.elf"}, {"multisec", "First Last" + std::string(1, sep()) + odd}};
  for (const auto& [name, elf] : rows) {
    SCOPED_TRACE(name);
    const fs::path fixture = fs::path(ZELK_FIXTURES) / "elf" / name;
    add_fixture_elf(name, elf == "app.elf" ? elf : "First Last/" + odd);
    RunResult r = run(elf_words(elf));
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(std::string::npos, r.out.find("copy cmd ret")) << r.out;

    const std::vector<std::string> args = recorded_args();
    ASSERT_GE(args.size(), 4u) << r.out << r.err;
    EXPECT_EQ("-kernel", args[args.size() - 4]);
    EXPECT_EQ(elf, args[args.size() - 3]);
    EXPECT_EQ(2, std::count(args.begin(), args.end(), elf));
    EXPECT_FALSE(fs::exists(work_dir_ / "INJECTED"));
    std::optional<Loader> l = loader();
    ASSERT_TRUE(l.has_value()) << r.out;
    EXPECT_EQ(split_lines(read_text(fixture / "expected.txt")).at(0), l->addr);

    const std::vector<uint8_t> want = read_bytes(fixture / (std::string(name) + ".bin"));
    ASSERT_TRUE(fs::is_regular_file(l->host)) << l->file << " -> " << l->host;
    EXPECT_EQ(want, read_bytes(l->host));
    if (!windows()) {
      EXPECT_EQ(tmp_dir_, l->host.parent_path()) << "the raw image goes to TMPDIR";
    }
    const std::string summary = "  loader  " + l->file + " (" + std::to_string(want.size()) +
                                " bytes) at " + l->addr + "\n";
    EXPECT_NE(std::string::npos, r.out.find(summary)) << r.out;
    std::error_code ec;
    fs::remove(l->host, ec);
  }
}

// Rule: a malformed ELF, or one that is not 32-bit little-endian, prints
// "copy cmd ret = -9" and the launch goes on with the -kernel argument but
// no loader and no raw file; status 0.
TEST_F(LoadingTest, MalformedElfIsReportedAndTheLaunchGoesOn) {
  // The real firmware with its section table offset made to wrap.
  std::vector<uint8_t> wrapped =
      read_bytes(fs::path(ZELK_FIXTURES) / "elf" / "blink" / "blink.elf");
  ASSERT_GT(wrapped.size(), kFileHeaderSize);
  put32(&wrapped, kTableOffsetField, 0xFFFFFFF0);
  // A hand-built one whose .data runs past the end of the file.
  ElfWriter w;
  w.progbits(".text", 0x08000000, text_bytes("TEXT"));
  const size_t data = w.progbits(".data", 0x20000000, text_bytes("DATA"));
  std::vector<uint8_t> past_end = w.build();
  put32(&past_end, w.header(data) + kSizeField, static_cast<uint32_t>(past_end.size()));

  // The real firmware marked as a 64-bit ELF, as a host program would be.
  std::vector<uint8_t> elf64 = read_bytes(fs::path(ZELK_FIXTURES) / "elf" / "blink" / "blink.elf");
  elf64[4] = 2;

  for (const auto* elf : {&wrapped, &past_end, &elf64}) {
    write_bytes(work_dir_ / "bad.elf", *elf);
    RunResult r = run(elf_words("bad.elf"));
    expect_failed_launch(r, -9);
    const std::vector<std::string> args = recorded_args();
    ASSERT_GE(args.size(), 2u);
    EXPECT_EQ("-kernel", args[args.size() - 2]);
    EXPECT_EQ("bad.elf", args.back());
    EXPECT_NE(std::string::npos, r.out.find("  kernel  bad.elf")) << r.out;
  }
}

// Rule: an ELF that cannot be read prints -2 (missing file, a directory,
// project mode before the project is built) and no ELF at all prints -1;
// either way the launch goes on without a loader.
TEST_F(LoadingTest, UnreadableOrAbsentElfIsReportedAndTheLaunchGoesOn) {
  RunResult r = run(elf_words("missing.elf"));
  expect_failed_launch(r, -2);

  fs::create_directories(work_dir_ / "folder.elf");
  r = run(elf_words("folder.elf"));
  expect_failed_launch(r, -2);

  RunOptions project;
  project.cwd = work_dir_ / "unbuilt";
  fs::create_directories(*project.cwd);
  r = run({"-prj", "-nographic"}, project);
  expect_failed_launch(r, -2);

  // -kernel is passed through untouched but names no ELF to convert.
  add_fixture_elf("blink", "x.elf");
  r = run({"-kernel", "x.elf"});
  expect_failed_launch(r, -1);
  EXPECT_NE(std::string::npos, r.out.find("  kernel  x.elf")) << r.out;
}

// Rule: a raw image that cannot be written whole prints -51 when the flash
// sections fail and -52 when .data does, even when the failure only shows
// as the buffered bytes reach the file; the partial image is removed and
// the launch goes on without a loader.
TEST_F(LoadingTest, ShortRawImageWritesAreReported) {
  // Under Wine the limit would also reach a Wine server started by the run.
  if (windows()) GTEST_SKIP() << "a file size limit stands in for a full disk natively only";
  // blink: 204 bytes of flash sections, then 4 of .data.
  add_fixture_elf("blink", "app.elf");
  for (const auto& [limit, code] : {std::pair{uint64_t{100}, -51}, std::pair{uint64_t{204}, -52}}) {
    SCOPED_TRACE(code);
    RunOptions options;
    options.file_size_limit = limit;
    RunResult r = run(elf_words("app.elf"), options);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, r.out.find("copy cmd ret = " + std::to_string(code) + "\n")) << r.out;
    // The limit cuts the stand-in's record too, so only the code is read.
    EXPECT_TRUE(fs::is_empty(tmp_dir_)) << "a cut-off image is not left behind";
  }
}

}  // namespace
