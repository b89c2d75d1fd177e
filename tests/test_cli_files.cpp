// What every subcommand does with its files and options: outputs checked
// before any work and written all together or not at all, standard input and
// output, --json, --quiet, --version, --grid, hostile files and numbers.
#include "CliTest.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cctype>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "host/MStlBase.h"
#include "host/MStlChecker.h"
#include "host/MStlGenerate.h"

namespace fs = std::filesystem;

namespace {

// A strict JSON reader that only answers whether the text is one JSON value.
class JsonCheck {
public:
    explicit JsonCheck(const std::string& text) : m_text(text) {}
    bool Valid() {
        SkipSpace();
        if (!Value()) return false;
        SkipSpace();
        return m_pos == m_text.size();
    }

private:
    bool Value() {
        SkipSpace();
        if (m_pos >= m_text.size()) return false;
        const char c = m_text[m_pos];
        if (c == '{') return Container('}', true);
        if (c == '[') return Container(']', false);
        if (c == '"') return String();
        for (const char* word : {"true", "false", "null"})
            if (m_text.compare(m_pos, std::strlen(word), word) == 0) return m_pos += std::strlen(word), true;
        return Number();
    }
    bool Container(char close, bool object) {
        ++m_pos;
        SkipSpace();
        if (Peek(close)) return ++m_pos, true;
        for (;;) {
            SkipSpace();
            if (object && !(String() && (SkipSpace(), Peek(':')) && ++m_pos)) return false;
            if (!Value()) return false;
            SkipSpace();
            if (Peek(close)) return ++m_pos, true;
            if (!Peek(',')) return false;
            ++m_pos;
        }
    }
    bool String() {
        if (!Peek('"')) return false;
        for (++m_pos; m_pos < m_text.size(); ++m_pos) {
            const unsigned char c = m_text[m_pos];
            if (c == '"') return ++m_pos, true;
            if (c < 0x20) return false;
            if (c == '\\') ++m_pos;
        }
        return false;
    }
    bool Number() {
        const size_t start = m_pos;
        if (Peek('-')) ++m_pos;
        while (m_pos < m_text.size() && (std::isdigit((unsigned char)m_text[m_pos]) || std::strchr(".eE+-", m_text[m_pos])))
            ++m_pos;
        return m_pos > start && std::isdigit((unsigned char)m_text[m_pos - 1]);
    }
    bool Peek(char c) const { return m_pos < m_text.size() && m_text[m_pos] == c; }
    void SkipSpace() {
        while (m_pos < m_text.size() && std::isspace((unsigned char)m_text[m_pos])) ++m_pos;
    }
    const std::string& m_text;
    size_t m_pos = 0;
};

class CliFiles : public CliTest {
protected:
    void SetUp() override {
        CliTest::SetUp();
        if (IsSkipped()) return;
        MStlBase sphere, box;
        GenerateSphere(sphere, 20000.0, 2000);
        GenerateBox(box, {-5000, -5000, -5000}, {5000, 5000, 5000}, 2);
        SaveMesh("s.stl", sphere);
        SaveMesh("box.stl", box);
        Write("square.txt", "-10 -10\n10 -10\n10 10\n-10 10\n");
    }
    // The exit status of `args` with standard output alone going to out.txt.
    int RunStdout(const std::string& args) {
        const std::string command =
            m_cli + " " + args + " > " + P("out.txt") + " 2> " + P("err.txt");
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Read(const std::string& name) const {
        std::ifstream in(P(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // One command line per subcommand, writing into `o1` (and `o2` where there
    // are two outputs).
    std::vector<std::string> EveryCommand(const std::string& o1, const std::string& o2) const {
        const std::string s = P("s.stl"), box = P("box.stl"), sq = P("square.txt");
        return {
            "plane " + s + " --z 3 --below " + o1 + " --above " + o2,
            "zrange " + s + " --lower -5 --upper 5 -o " + o1,
            "profile " + s + " --polygon " + sq + " --inside " + o1 + " --outside " + o2,
            "polyline " + s + " --polyline " + sq + " --inside " + o1 + " --outside " + o2,
            "trim " + s + " " + box + " --out " + o1,
            "self-trim " + s + " --out " + o1,
            "halves " + s + " --plane 0,0,1,0 --inside " + o1 + " --outside " + o2,
            "frame " + s + " --origin -30,-30,1 --u 60,0,0 --v 0,60,0 --above " + o1 + " --below " + o2,
            "undercut " + s + " --direction 0,0,-1 --cell 1 --out " + o1,
            "boolean-undercut " + box + " " + s + " --out-upper " + o1 + " --out-lower " + o2,
            "zones " + s + " --zone " + box + " --out-prefix " + o1,
            "extrude " + s + " --thickness 1 --out " + o1,
            "generate box " + o1,
        };
    }
    // No file in the folder but those named.
    void ExpectOnly(const std::vector<std::string>& names) const {
        for (const auto& e : fs::directory_iterator(m_dir)) {
            const std::string name = e.path().filename().string();
            if (name == "out.txt" || name == "err.txt") continue;
            EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << "unexpected file " << name;
        }
    }
};

}  // namespace

TEST_F(CliFiles, JsonReportParsesForEverySubcommand) {
    std::vector<std::string> commands = EveryCommand(P("a.stl"), P("b.stl"));
    commands.push_back("check " + P("s.stl"));
    commands.push_back("plane " + P("missing.stl") + " --z 0 --below " + P("a.stl"));  // a failure is JSON too
    for (const std::string& c : commands) {
        const int status = RunStdout(c + " --json");
        const std::string out = Read("out.txt");
        EXPECT_TRUE(JsonCheck(out).Valid()) << c << "\n" << out;
        EXPECT_NE(out.find("\"exit_status\":" + std::to_string(status)), std::string::npos) << c << "\n" << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << "one line: " << c;
    }
    ASSERT_EQ(RunStdout("plane " + P("s.stl") + " --z 3 --below " + P("a.stl") + " --json"), 0);
    const std::string out = Read("out.txt");
    EXPECT_NE(out.find("\"role\":\"below\""), std::string::npos) << out;
    EXPECT_NE(out.find("\"closed\":true"), std::string::npos) << out;
    EXPECT_NE(out.find("\"written\":true"), std::string::npos) << out;
}

TEST_F(CliFiles, QuietVersionAndStandardStreams) {
    EXPECT_EQ(RunStdout("--version"), 0);
    EXPECT_EQ(Read("out.txt").rfind("meshcut ", 0), 0u) << Read("out.txt");
    EXPECT_EQ(RunStdout("plane " + P("s.stl") + " --z 3 --below " + P("a.stl") + " --quiet"), 0);
    EXPECT_TRUE(Read("out.txt").empty());
    EXPECT_TRUE(Read("err.txt").empty());

    // Standard input to standard output, in a pipe: the half is closed.
    const std::string pipe = "cat " + P("s.stl") + " | " + m_cli + " plane - --z 3 --below - --ascii > " + P("b.stl");
    ASSERT_EQ(std::system(pipe.c_str()), 0);
    const MeshReport half = ReportOf("b.stl");
    EXPECT_TRUE(half.closed && half.oriented);
    EXPECT_GT(half.triangles, 100u);
    // Standard output takes one mesh, and never beside --json.
    EXPECT_EQ(RunStdout("plane " + P("s.stl") + " --z 3 --below - --above -"), 1);
    EXPECT_EQ(RunStdout("plane " + P("s.stl") + " --z 3 --below - --json"), 1);
}

TEST_F(CliFiles, OutputsAreCheckedBeforeAnyWork) {
    const std::string keep = "untouched";
    Write("x.stl", keep);
    fs::create_symlink(P("x.stl"), P("alias.stl"));
    // The same file twice, also through a link, loses nothing and changes nothing.
    for (const std::string& c : EveryCommand(P("x.stl"), P("alias.stl"))) {
        if (c.find(P("alias.stl")) == std::string::npos) continue;
        EXPECT_EQ(Run(c), 1) << c << "\n" << Output();
        EXPECT_NE(Output().find("same file"), std::string::npos) << c << "\n" << Output();
        EXPECT_EQ(Read("x.stl"), keep) << c;
    }
    // Not a regular file, a folder that is missing, an unknown format.
    ASSERT_EQ(::mkfifo(P("fifo.stl").c_str(), 0600), 0);
    fs::create_directory(P("folder.stl"));
    fs::create_symlink("/dev/null", P("null.stl"));
    for (const std::string& out : {P("fifo.stl"), P("folder.stl"), P("null.stl"), P("nowhere/a.stl"), P("a.xyz")}) {
        EXPECT_EQ(Run("plane " + P("s.stl") + " --z 3 --below " + out), 1) << out;
        EXPECT_FALSE(Output().empty()) << out;
    }
    EXPECT_TRUE(fs::is_fifo(P("fifo.stl")));
    EXPECT_TRUE(fs::is_symlink(P("null.stl")));
    // A link to a regular file is written through and stays a link.
    ASSERT_EQ(Run("plane " + P("s.stl") + " --z 3 --below " + P("alias.stl")), 0) << Output();
    EXPECT_TRUE(fs::is_symlink(P("alias.stl")));
    EXPECT_TRUE(ReportOf("x.stl").closed);
    // A zones prefix that is a folder is refused.
    EXPECT_EQ(Run("zones " + P("s.stl") + " --zone " + P("box.stl") + " --out-prefix " + P("folder.stl")), 1);
    ExpectOnly({"s.stl", "box.stl", "square.txt", "x.stl", "alias.stl", "fifo.stl", "folder.stl", "null.stl"});
}

TEST_F(CliFiles, EmptyPartsAreNeverWritten) {
    // The plane misses the sphere: the part above is empty.
    EXPECT_EQ(Run("plane " + P("s.stl") + " --z 1000 --above " + P("up.stl")), 1);
    EXPECT_NE(Output().find("empty"), std::string::npos) << Output();
    ASSERT_EQ(Run("plane " + P("s.stl") + " --z 1000 --above " + P("up.stl") + " --below " + P("down.stl")), 0)
        << Output();
    EXPECT_FALSE(Exists("up.stl"));
    EXPECT_NEAR(ReportOf("down.stl").volume, ReportOf("s.stl").volume, 1e-9);
    Write("far.txt", "100 100\n120 100\n120 120\n100 120\n");
    EXPECT_EQ(Run("profile " + P("s.stl") + " --polygon " + P("far.txt") + " --inside " + P("in.stl")), 1);
    EXPECT_FALSE(Exists("in.stl"));
}

TEST_F(CliFiles, TerminationLeavesNoTemporaryFile) {
    MStlBase big;
    GenerateSphere(big, 20000.0, 400000);
    SaveMesh("big.stl", big);
    for (int delay : {50, 150, 300, 600}) {
        const std::string command = m_cli + " plane " + P("big.stl") + " --z 3 --below " + P("a.stl") + " --above " +
                                    P("b.obj") + " > /dev/null 2>&1 & echo $! > " + P("pid.txt");
        ASSERT_EQ(std::system(command.c_str()), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        const pid_t pid = std::stoi(Read("pid.txt"));
        ::kill(pid, SIGTERM);
        for (int i = 0; i < 200 && ::kill(pid, 0) == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        fs::remove(P("pid.txt"));
        // Either both halves are complete or neither is there.
        EXPECT_EQ(Exists("a.stl"), Exists("b.obj")) << delay;
        if (Exists("a.stl")) {
            EXPECT_TRUE(ReportOf("a.stl").closed && ReportOf("b.obj").closed);
        }
        ExpectOnly({"s.stl", "box.stl", "square.txt", "big.stl", "a.stl", "b.obj"});
        fs::remove(P("a.stl"));
        fs::remove(P("b.obj"));
    }
}

TEST_F(CliFiles, NumbersAndContradictionsAreRefused) {
    const std::string s = P("s.stl"), out = " --below " + P("a.stl");
    for (const char* z : {"''", "0x10", "inf", "nan", "1e", "3,", "--", "1e400"})
        EXPECT_EQ(Run("plane " + s + " --z " + z + out), 1) << z << "\n" << Output();
    for (const char* grid : {"0", "-1", "abc", "1e-12"})
        EXPECT_EQ(Run("plane " + s + " --z 1 --grid " + grid + out), 1) << grid;
    EXPECT_EQ(Run("generate box " + P("a.stl") + " --triangles 0x20"), 1);
    EXPECT_EQ(Run("polyline " + s + " --polyline " + P("square.txt") + " --clearance-inside -1" + out), 1);
    EXPECT_FALSE(Exists("a.stl"));
}

TEST_F(CliFiles, DepthMeansTheSameForProfileAndPolyline) {
    // From below the mesh's middle upward, and from a negative height.
    for (const std::string depth : {"-5", "0", "5"}) {
        const std::string tail = " --depth " + depth + " --inside " + P("in.stl") + " --outside " + P("out.stl");
        ASSERT_EQ(Run("profile " + P("s.stl") + " --polygon " + P("square.txt") + tail), 0) << depth << Output();
        const double profile = ReportOf("in.stl").volume;
        ASSERT_EQ(Run("polyline " + P("s.stl") + " --polyline " + P("square.txt") + tail), 0) << depth << Output();
        const MeshReport inside = ReportOf("in.stl");
        EXPECT_TRUE(inside.closed && inside.oriented) << depth;
        EXPECT_NEAR(inside.volume, profile, 1e-6 * profile) << depth;
    }
}

TEST_F(CliFiles, CuttersMustBeClosedAndInputsMustHaveArea) {
    Write("tri.obj", "v 0 0 0\nv 10 0 0\nv 0 10 0\nf 1 2 3\n");
    EXPECT_EQ(Run("trim " + P("s.stl") + " " + P("tri.obj") + " --out " + P("a.stl")), 1);
    EXPECT_NE(Output().find("closed"), std::string::npos) << Output();
    EXPECT_EQ(Run("halves " + P("s.stl") + " --cutter " + P("tri.obj") + " --inside " + P("a.stl")), 1);
    EXPECT_EQ(Run("halves " + P("tri.obj") + " --plane 0,0,1,0 --inside " + P("a.stl")), 1) << "open input";
    Write("flat.obj", "v 0 0 0\nv 10 0 0\nv 20 0 0\nv 0 5 0\nf 1 2 3\nf 3 2 1\n");
    EXPECT_EQ(Run("plane " + P("flat.obj") + " --z 0 --below " + P("a.stl")), 1);
    EXPECT_NE(Output().find("zero area"), std::string::npos) << Output();
    EXPECT_FALSE(Exists("a.stl"));
}

TEST_F(CliFiles, GridFitsTheModel) {
    // A sphere 0.08 units across spans 80 steps of the default grid.
    MStlBase small;
    GenerateSphere(small, 40.0, 2000);
    SaveMesh("small.stl", small);
    ASSERT_EQ(Run("check " + P("small.stl")), 0) << Output();
    EXPECT_NE(Output().find("--grid"), std::string::npos) << "a warning names the option:\n" << Output();
    // The same file on a grid of 1e-6 units keeps every triangle and cuts into closed halves.
    ASSERT_EQ(Run("plane " + P("small.stl") + " --z 0.001 --below " + P("a.obj") + " --above " + P("b.obj") +
                  " --grid 1e-6"),
              0)
        << Output();
    EXPECT_EQ(Output().find("--grid"), std::string::npos) << Output();
    EXPECT_EQ(Run("check " + P("a.obj") + " --grid 1e-6"), 0) << Output();
    EXPECT_EQ(Run("check " + P("b.obj") + " --grid 1e-6"), 0) << Output();
}

TEST_F(CliFiles, HostileMeshFilesFailCleanlyEverywhere) {
    // 65,536 copies of one triangle: every corner shared by too many triangles.
    std::string stl(84 + 65536 * 50, '\0');
    const uint32_t count = 65536;
    std::memcpy(stl.data() + 80, &count, 4);
    for (uint32_t t = 0; t < count; ++t) {
        const float corners[9] = {0, 0, 0, 10, 0, 0, 0, 10, 0};
        std::memcpy(stl.data() + 84 + 50 * t + 12, corners, sizeof corners);
    }
    Write("fan.stl", stl);
    // One polygon face of 70,000 corners on a circle, more than a point may fan.
    std::string obj;
    for (int i = 0; i < 70000; ++i)
        obj.append("v ")
            .append(std::to_string(std::cos(i * 3.14159265358979 / 35000) * 50))
            .append(" ")
            .append(std::to_string(std::sin(i * 3.14159265358979 / 35000) * 50))
            .append(" 0\n");
    obj += "f";
    for (int i = 1; i <= 70000; ++i) obj.append(" ").append(std::to_string(i));
    Write("face.obj", obj + "\n");
    Write("truncated.stl", stl.substr(0, 5000));
    for (const char* file : {"fan.stl", "face.obj", "truncated.stl"})
        for (const std::string& c : EveryCommand(P("a.stl"), P("b.stl"))) {
            const std::string args = c.rfind("generate", 0) == 0 ? "check " + P(file)
                                                                 : std::string(c).replace(c.find(P("s.stl")), P("s.stl").size(), P(file));
            const int status = Run(args);
            EXPECT_TRUE(status == 1 || status == 2) << args << " gave " << status << "\n" << Output();
            EXPECT_FALSE(Output().empty()) << args;
            EXPECT_FALSE(Exists("a.stl") || Exists("b.stl")) << args;
        }
}

TEST_F(CliFiles, ProgressOnATerminalSpeaksPlainWords) {
    if (std::system("command -v script > /dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1) to make a terminal";
    // script(1) runs the tool on a pseudo-terminal, so that the bar is drawn.
    const std::string command = "script -qec '" + m_cli + " plane " + P("s.stl") + " --z 3 --below " + P("a.stl") +
                                " --above " + P("b.stl") + "' /dev/null > " + P("tty.txt") + " 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string shown = Read("tty.txt");
    for (const char* words : {"reading", "cutting", "filling the cut", "writing"})
        EXPECT_NE(shown.find(words), std::string::npos) << words << "\n" << shown;
    for (const char* internal : {"Qel", "MStl", "Operate", "_"})
        EXPECT_EQ(shown.find(std::string("% ") + internal), std::string::npos) << internal << "\n" << shown;
}

TEST_F(CliFiles, HostileParametersEndPromptly) {
    // Each run is cut short after 60 s; a hang shows as status 124.
    auto run = [&](const std::string& args) {
        const int status = std::system(("timeout 60 " + m_cli + " " + args + " > " + P("out.txt") + " 2>&1").c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    const std::string s = P("s.stl"), out = " --inside " + P("a.stl") + " --outside " + P("b.stl");
    ASSERT_EQ(::mkfifo(P("fifo.txt").c_str(), 0600), 0);
    std::string million;
    for (int i = 0; i < 1000000; ++i) million += std::to_string(i % 1000) + " " + std::to_string(i / 1000) + "\n";
    Write("million.txt", million);
    for (const std::string& polygon : {std::string("/dev/zero"), P("fifo.txt"), P("million.txt")}) {
        EXPECT_EQ(run("profile " + s + " --polygon " + polygon + out), 1) << polygon << "\n" << Output();
        EXPECT_EQ(run("polyline " + s + " --polyline " + polygon + out), 1) << polygon << "\n" << Output();
    }
    const int far = run("polyline " + s + " --polyline " + P("square.txt") + " --clearance-outside 1000000" + out);
    EXPECT_TRUE(far == 0 || far == 1) << Output();
    fs::remove(P("a.stl"));
    EXPECT_EQ(run("undercut " + s + " --direction 0,0,-1 --cell 0.0001 --out " + P("a.stl")), 1) << Output();
    EXPECT_FALSE(Exists("a.stl"));
}
