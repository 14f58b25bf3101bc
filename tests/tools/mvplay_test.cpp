// mvplay as a user runs it: renders generated files and compares the
// samples; rejects bad command lines and unreadable files with a message and
// the documented exit status; stops cleanly on Ctrl-C.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
    int status;
    std::string errors;
};

class Mvplay : public ::testing::Test {
protected:
    fs::path dir = fs::temp_directory_path() / ("mvplay_test_" + std::to_string(::getpid()));
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override { fs::remove_all(dir); }

    std::string path(const char *name) const { return (dir / name).string(); }
    std::string dir_path() const { return dir.string(); }

    Outcome run(const std::string &arguments) const {
        const std::string errors = path("stderr.txt");
        const std::string command =
            std::string(MVPLAY_PATH) + " " + arguments + " >/dev/null 2>" + errors;
        const int status = std::system(command.c_str());
        std::string text;
        if (FILE *file = std::fopen(errors.c_str(), "r")) {
            char buffer[512];
            while (size_t n = std::fread(buffer, 1, sizeof buffer, file)) text.append(buffer, n);
            std::fclose(file);
        }
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
    }

    void writeInt16(const std::string &name, int rate, int channels,
                    const std::vector<short> &samples) const {
        SF_INFO info{};
        info.samplerate = rate;
        info.channels = channels;
        info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        SNDFILE *file = sf_open(name.c_str(), SFM_WRITE, &info);
        ASSERT_NE(file, nullptr);
        sf_write_short(file, samples.data(), sf_count_t(samples.size()));
        sf_close(file);
    }

    std::vector<float> readFloat(const std::string &name) const {
        SF_INFO info{};
        return readFloat(name, info);
    }

    std::vector<float> readFloat(const std::string &name, SF_INFO &info) const {
        SNDFILE *file = sf_open(name.c_str(), SFM_READ, &info);
        EXPECT_NE(file, nullptr) << name;
        if (!file) return {};
        std::vector<float> samples(size_t(info.frames) * info.channels);
        sf_readf_float(file, samples.data(), info.frames);
        sf_close(file);
        return samples;
    }
};

std::vector<short> ramp(int count, int step) {
    std::vector<short> samples(count);
    for (int i = 0; i < count; ++i) samples[i] = short((i * step) % 30000 - 15000);
    return samples;
}

TEST_F(Mvplay, RendersTwoFilesBackToBackSampleForSample) {
    const std::vector<short> first = ramp(3000, 7), second = ramp(2000, 13);
    writeInt16(path("a.wav"), 48000, 1, first);
    writeInt16(path("b.wav"), 48000, 1, second);
    const Outcome result =
        run("--mono --render " + path("out.wav") + " " + path("a.wav") + " " + path("b.wav"));
    ASSERT_EQ(result.status, 0) << result.errors;
    SF_INFO info{};
    const std::vector<float> out = readFloat(path("out.wav"), info);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.samplerate, 48000);
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);
    ASSERT_EQ(out.size(), 5000u);
    for (int i = 0; i < 5000; ++i) {
        const short expected = i < 3000 ? first[i] : second[i - 3000];
        ASSERT_EQ(out[i], expected / 32768.0f) << "frame " << i;
    }
}

TEST_F(Mvplay, RendersAMonoFileToBothSidesWithGainInTheChosenFormat) {
    writeInt16(path("a.wav"), 48000, 1, ramp(1000, 11));
    const Outcome result = run("--gain -6.0206 --format int16 --no-dither --render " +
                               path("out.wav") + " " + path("a.wav"));
    ASSERT_EQ(result.status, 0) << result.errors;
    SF_INFO info{};
    const std::vector<float> out = readFloat(path("out.wav"), info);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_16);
    const std::vector<short> in = ramp(1000, 11);
    ASSERT_EQ(out.size(), 2000u);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(out[2 * i], out[2 * i + 1]);
        EXPECT_NEAR(out[2 * i], in[i] / 65536.0f, 2.0 / 32768) << "frame " << i;
    }
}

TEST_F(Mvplay, ResamplesToTheRequestedRate) {
    writeInt16(path("a.wav"), 24000, 1, std::vector<short>(2400, 8192));
    const Outcome result =
        run("--mono --sample-rate 48000 --render " + path("out.wav") + " " + path("a.wav"));
    ASSERT_EQ(result.status, 0) << result.errors;
    SF_INFO info{};
    const std::vector<float> out = readFloat(path("out.wav"), info);
    ASSERT_EQ(out.size(), 4800u);
    EXPECT_EQ(out[100], 0.25f);
}

TEST_F(Mvplay, RunsADspProgramOnTheMixerAndReportsItsFailure) {
    writeInt16(path("a.wav"), 48000, 2, ramp(2000, 11));
    const std::string examples = MV_DSP_EXAMPLES_DIR;
    ASSERT_EQ(run("--render " + path("plain.wav") + " " + path("a.wav")).status, 0);
    const Outcome halved = run("--dsp " + examples + "/gain.mvs --dsp-message 0.5 --render " +
                               path("halved.wav") + " " + path("a.wav"));
    ASSERT_EQ(halved.status, 0) << halved.errors;
    SF_INFO info{};
    const std::vector<float> plain = readFloat(path("plain.wav"), info);
    const std::vector<float> out = readFloat(path("halved.wav"), info);
    ASSERT_EQ(out.size(), plain.size());
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], plain[i] * 0.5f) << "sample " << i;

    const Outcome failed =
        run("--dsp " + examples + "/fail.mvs --render " + path("failed.wav") + " " + path("a.wav"));
    EXPECT_EQ(failed.status, 0);
    EXPECT_NE(failed.errors.find("failed in the Main Routine"), std::string::npos) << failed.errors;
    EXPECT_NE(failed.errors.find("trace: 0x0027 0x0021 0x0016"), std::string::npos);

    const Outcome badWord =
        run("--dsp " + examples + "/gain.mvs --dsp-message 0.5,loud " + path("a.wav"));
    EXPECT_NE(badWord.status, 0);
    EXPECT_NE(badWord.errors.find("bad DSP message word: 'loud'"), std::string::npos);
}

TEST_F(Mvplay, RejectsBadOptionsAndUnreadableFilesWithAMessage) {
    writeInt16(path("a.wav"), 48000, 1, ramp(100, 1));
    const Outcome unknown = run("--bogus " + path("a.wav"));
    EXPECT_NE(unknown.status, 0);
    EXPECT_NE(unknown.errors.find("unknown option: --bogus"), std::string::npos);

    const Outcome badGain = run("--gain loud " + path("a.wav"));
    EXPECT_NE(badGain.status, 0);
    EXPECT_NE(badGain.errors.find("bad value for --gain"), std::string::npos);

    const Outcome badFormat = run("--format int12 --render x.wav " + path("a.wav"));
    EXPECT_NE(badFormat.errors.find("unknown sample format"), std::string::npos);

    const Outcome missing = run("--render " + path("out.wav") + " " + path("missing.wav"));
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.errors.find("missing.wav"), std::string::npos);

    std::FILE *junk = std::fopen(path("junk.wav").c_str(), "w");
    std::fputs("not a sound file", junk);
    std::fclose(junk);
    const Outcome unreadable = run("--render " + path("out.wav") + " " + path("junk.wav"));
    EXPECT_NE(unreadable.status, 0);
    EXPECT_NE(unreadable.errors.find("junk.wav"), std::string::npos);

    EXPECT_NE(run("").status, 0);
}

TEST_F(Mvplay, AStreamedFileRendersBitForBitLikeTheFileLoadedWhole) {
    // Seven chunks and a bit; a seek into the second chunk, interpolated
    // half frames, a loop. (Steps that are not dyadic fractions round
    // differently at the smaller positions within a chunk, so the cases keep
    // the rate of the file.)
    std::vector<short> samples = ramp(2 * 230000, 3);
    for (size_t i = 0; i < samples.size(); i += 7) samples[i] = short(-samples[i]);
    writeInt16(path("long.wav"), 44100, 2, samples);
    for (const char *extra : {"", "--rate 1.5 --start 1.2", "--loop --duration 12 --gain -3"}) {
        const std::string common = std::string(extra) + " --sample-rate 44100 " + path("long.wav");
        ASSERT_EQ(run("--render " + path("streamed.wav") + " " + common).status, 0) << extra;
        ASSERT_EQ(run("--no-stream --render " + path("whole.wav") + " " + common).status, 0);
        const std::vector<float> streamed = readFloat(path("streamed.wav"));
        const std::vector<float> whole = readFloat(path("whole.wav"));
        ASSERT_EQ(streamed.size(), whole.size()) << extra;
        ASSERT_GT(streamed.size(), 2u * 3 * 32768); // several chunks
        for (size_t i = 0; i < whole.size(); ++i)
            ASSERT_EQ(std::bit_cast<uint32_t>(streamed[i]), std::bit_cast<uint32_t>(whole[i]))
                << extra << ": sample " << i;
    }
}

TEST_F(Mvplay, WideFilesAreFoldedDownWithTheStandardWeights) {
    // Every channel holds its own constant; the output tells the weights.
    const double c[8] = {0.1, 0.2, 0.3, 0.05, 0.15, 0.25, 0.12, 0.22};
    const double w = std::sqrt(0.5);
    const struct {
        int channels;
        const char *options;
        double left, right;
    } cases[] = {
        {6, "", c[0] + w * c[2] + w * c[4], c[1] + w * c[2] + w * c[5]},           // 5.1, no LFE
        {8, "", c[0] + w * (c[2] + c[4] + c[6]), c[1] + w * (c[2] + c[5] + c[7])}, // 7.1
        {6, "--mono", (c[0] + c[1] + c[2] + c[3] + c[4] + c[5]) / 6, -1},          // average
        {2, "--mono", (c[0] + c[1]) / 2, -1},
        {6, "--no-downmix", c[0], c[1]},
        {6, "--mono --no-downmix", c[0], -1},
    };
    for (const auto &test : cases) {
        std::vector<short> samples;
        for (int frame = 0; frame < 4800; ++frame)
            for (int ch = 0; ch < test.channels; ++ch)
                samples.push_back(short(std::lround(c[ch] * 32768)));
        writeInt16(path("wide.wav"), 48000, test.channels, samples);
        const Outcome result = run(std::string(test.options) + " --no-interpolation --render " +
                                   path("out.wav") + " " + path("wide.wav"));
        ASSERT_EQ(result.status, 0) << result.errors;
        SF_INFO info{};
        const std::vector<float> out = readFloat(path("out.wav"), info);
        ASSERT_EQ(out.size(), size_t(4800 * info.channels));
        const double tolerance = 1e-4; // the int16 file's rounding
        EXPECT_NEAR(out[100 * info.channels], test.left, tolerance)
            << test.channels << " " << test.options;
        if (test.right >= 0) EXPECT_NEAR(out[100 * 2 + 1], test.right, tolerance) << test.channels;
    }
}

TEST_F(Mvplay, CtrlCDuringARenderKeepsAReadableFileOfWhatWasRendered) {
    writeInt16(path("a.wav"), 48000, 2, ramp(96000, 5));
    const std::string out = path("cut.wav");
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(MVPLAY_PATH, "mvplay", "-q", "--loop", "--duration", "36000", "--render", out.c_str(),
              path("a.wav").c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    // Wait for the render to be well under way, then interrupt it.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::error_code error;
    while ((fs::file_size(out, error) < (1u << 20) || error) &&
           std::chrono::steady_clock::now() < deadline)
        usleep(10000);
    kill(child, SIGINT);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 130);
    SF_INFO info{};
    SNDFILE *file = sf_open(out.c_str(), SFM_READ, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    sf_close(file);
    EXPECT_GT(info.frames, 0);
    // The header states exactly the frames the file holds.
    const uint64_t dataBytes = fs::file_size(out) - 58; // float WAV header with its fact chunk
    EXPECT_EQ(uint64_t(info.frames) * 2 * sizeof(float), dataBytes);
}

TEST_F(Mvplay, ExitStatusesTellSkippedFilesAndRefusedOptions) {
    writeInt16(path("a.wav"), 48000, 1, ramp(100, 1));
    const std::string dir = dir_path();
    const struct {
        std::string arguments;
        int status;
        const char *message;
        bool oneLine = true;
    } cases[] = {
        {"--render " + path("o.wav") + " " + path("missing.wav") + " " + path("a.wav"), 3,
         "missing.wav", false},
        {"--format int16 " + path("a.wav"), 2, "--format only applies to --render"},
        {"--loop-start 1 " + path("a.wav"), 2, "--loop-start needs --loop"},
        {"--dsp-message 1 " + path("a.wav"), 2, "--dsp-message needs --dsp"},
        {"--render '' " + path("a.wav"), 2, "--render needs a file name"},
        {"--render " + path("o.wav") + " --rate 1e-300 " + path("a.wav"), 2, "frames long"},
        {"--render " + path("o.wav") + " --loop --duration 1e300 " + path("a.wav"), 2,
         "frames long"},
        {"--render " + path("o.wav") + " --dsp " + dir + " " + path("a.wav"), 2,
         "not a readable file"},
        {"--render " + path("o.mp9") + " " + path("a.wav"), 2, "cannot tell the file type"},
        {"--bogus " + path("a.wav"), 2, "unknown option: --bogus"},
        {"--render " + path("o.wav") + " -- " + path("missing.wav"), 2, "nothing to play", false},
    };
    for (const auto &test : cases) {
        fs::remove(path("o.wav"));
        const Outcome result = run(test.arguments);
        EXPECT_EQ(result.status, test.status) << test.arguments << "\n" << result.errors;
        EXPECT_NE(result.errors.find(test.message), std::string::npos) << result.errors;
        if (test.status == 2) EXPECT_FALSE(fs::exists(path("o.wav"))) << test.arguments;
        if (test.oneLine) {
            EXPECT_EQ(std::count(result.errors.begin(), result.errors.end(), '\n'), 1)
                << result.errors;
        }
    }
    run("--render " + path("o.wav") + " " + path("missing.wav") + " " + path("a.wav"));
    EXPECT_EQ(readFloat(path("o.wav")).size(), 200u); // the readable file played
}

TEST_F(Mvplay, ReducingTo16BitsDithersAndClippingIsReported) {
    writeInt16(path("a.wav"), 48000, 1, ramp(4800, 11));
    ASSERT_EQ(run("--gain -7 --render " + path("float.wav") + " " + path("a.wav")).status, 0);
    const Outcome dithered =
        run("--gain -7 --format int16 --render " + path("dithered.wav") + " " + path("a.wav"));
    ASSERT_EQ(dithered.status, 0) << dithered.errors;
    ASSERT_EQ(run("--gain -7 --format int16 --no-dither --render " + path("plain.wav") + " " +
                  path("a.wav"))
                  .status,
              0);
    const std::vector<float> exact = readFloat(path("float.wav"));
    const std::vector<float> noisy = readFloat(path("dithered.wav"));
    const std::vector<float> plain = readFloat(path("plain.wav"));
    ASSERT_EQ(noisy.size(), exact.size());
    int differing = 0;
    for (size_t i = 0; i < exact.size(); ++i) {
        EXPECT_NEAR(noisy[i], exact[i], 3.0 / 32768) << i; // a few LSBs of noise at most
        EXPECT_NEAR(plain[i], exact[i], 1.5 / 32768) << i;
        differing += noisy[i] != plain[i];
    }
    EXPECT_GT(differing, int(exact.size()) / 4);
    EXPECT_EQ(dithered.errors.find("clipped"), std::string::npos);

    const Outcome loud = run("--gain 20 --render " + path("loud.wav") + " " + path("a.wav"));
    EXPECT_EQ(loud.status, 0);
    EXPECT_NE(loud.errors.find("samples clipped at full scale"), std::string::npos) << loud.errors;
}

TEST_F(Mvplay, RunsTheProgramsTheBuildAssembles) {
    writeInt16(path("a.wav"), 48000, 2, ramp(2000, 11));
    ASSERT_EQ(run("--render " + path("plain.wav") + " " + path("a.wav")).status, 0);
    const Outcome halved =
        run(std::string("--dsp ") + MV_DSP_BUILT_DIR + "/gain.bin " +
            "--dsp-message 0.5 --render " + path("halved.wav") + " " + path("a.wav"));
    ASSERT_EQ(halved.status, 0) << halved.errors;
    const std::vector<float> plain = readFloat(path("plain.wav"));
    const std::vector<float> out = readFloat(path("halved.wav"));
    ASSERT_EQ(out.size(), plain.size());
    for (size_t i = 0; i < out.size(); ++i) ASSERT_EQ(out[i], plain[i] * 0.5f) << "sample " << i;
}

} // namespace
