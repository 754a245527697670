// The command line as a user meets it, on the built program without a display or an audio
// server: answers and mistakes end the program before it needs either (were a window or the
// synthesizer started, Qt would abort for want of a display and the status would not match).

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string slurp(const fs::path& file) {
    std::ifstream in(file);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs the program with no display or platform plugin named; stops it if it outlives 10 s.
Outcome runProgram(std::vector<std::string> arguments, const fs::path& dir) {
    arguments.insert(arguments.begin(), VELUNE_PROGRAM);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(open((dir / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 1);
        dup2(open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), 2);
        for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) unsetenv(name);
        alarm(10);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), slurp(dir / "out"),
            slurp(dir / "err")};
}

struct Case {
    const char* name;
    std::vector<std::string> arguments;  // "@" stands for the scratch folder
    int status;
    std::vector<std::string> out, err;  // texts each stream must hold
};

TEST(CommandLine, AnswersAndMistakesEndBeforeAnyWindowOrSound) {
    const fs::path scratch = fs::temp_directory_path() / ("velune-cli-" + std::to_string(getpid()));
    fs::create_directories(scratch);
    const Case cases[] = {
        {"help lists every option",
         {"--help"},
         0,
         {"Usage: velune", "--midi-out <jack|alsa>", "--no-synth", "--record <file.mid>",
          "--version"},
         {}},
        {"version", {"--version"}, 0, {"Velune 1.00\n"}, {}},
        {"Qt's own options are no mistake", {"-platform", "offscreen", "-v"}, 0, {"Velune"}, {}},
        {"unknown option", {"--bogus"}, 2, {}, {"bogus", "velune --help"}},
        {"a stray argument", {"song.mid"}, 2, {}, {"song.mid"}},
        {"no synthesizer and nowhere else to play", {"--no-synth"}, 2, {}, {"--midi-out"}},
        {"an unknown MIDI system", {"--midi-out=coreaudio"}, 2, {}, {"coreaudio"}},
        {"recording into a missing folder",
         {"--record", "@/missing/take.mid"},
         2,
         {},
         {"@/missing/take.mid", "No such file or directory"}},
        {"recording onto a folder", {"--record", "@"}, 2, {}, {"Is a directory"}},
    };
    const auto expand = [&](std::string text) {
        return text.starts_with('@') ? text.replace(0, 1, scratch.string()) : text;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> arguments;
        for (const std::string& argument : c.arguments) arguments.push_back(expand(argument));
        const Outcome run = runProgram(arguments, scratch);
        EXPECT_EQ(run.status, c.status) << run.err;
        for (const auto& want : c.out) EXPECT_NE(run.out.find(want), std::string::npos) << run.out;
        for (const auto& want : c.err) {
            EXPECT_NE(run.err.find(expand(want)), std::string::npos) << run.err;
        }
    }
    fs::remove_all(scratch);
}

}  // namespace
