// SPDX-License-Identifier: MIT
// A libFuzzer target for the clock-rate reader: arbitrary bytes as the
// processor-information file.  The shared rule (clock/cpuinfo_rate.h), which
// memsweep-check reads with too, and the clock unit's reader built on it are
// both held to an independent model of the rule: for every input they must
// give the rate it parses, with cpu_ghz that rate divided by 1000, or the
// fallback, the clock unit with its one warning line; and they must read
// nothing out of bounds.
//
// The clock unit is included so that the fuzzer can hand the reader a file
// of its own; the input goes into a memory file, read through /proc/self/fd.
#include "clock/clock.cpp"  // NOLINT(bugprone-suspicious-include): to reach the private reader

#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>

namespace {

int input_fd = -1, out_fd = -1, err_fd = -1;
std::string input_path;

// put makes the memory file hold exactly these bytes, with its offset at 0.
void put(int fd, const uint8_t *bytes, size_t size)
{
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0 ||
        (size > 0 && pwrite(fd, bytes, size, 0) != (ssize_t)size))
        abort();
}

std::string take(int fd)
{
    std::string s;
    char chunk[4096];
    ssize_t n;
    off_t at = 0;
    while ((n = pread(fd, chunk, sizeof chunk, at)) > 0) {
        s.append(chunk, (size_t)n);
        at += n;
    }
    return s;
}

// expected_rate reads the input as the reader is meant to: in pieces of at
// most 511 bytes that end at a newline, up to the first piece that mentions
// "cpu MHz", which must begin with it.  It returns the parsed MHz, or 0.0.
double expected_rate(const uint8_t *data, size_t size)
{
    size_t at = 0;
    while (at < size) {
        size_t end = at;
        while (end < size && end - at < 511) {
            end++;
            if (data[end - 1] == '\n')
                break;
        }
        // The piece, as far as the C string functions see it.
        std::string piece(reinterpret_cast<const char *>(data + at), end - at);
        piece.resize(strlen(piece.c_str()));
        if (piece.find("cpu MHz") != std::string::npos) {
            double m = 0.0;
            sscanf(piece.c_str(), "cpu MHz\t: %lf", &m);
            return m;
        }
        at = end;
    }
    return 0.0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (input_fd < 0) {
        input_fd = memfd_create("cpuinfo", 0);
        out_fd = memfd_create("stdout", 0);
        err_fd = memfd_create("stderr", 0);
        if (input_fd < 0 || out_fd < 0 || err_fd < 0)
            abort();
        input_path = "/proc/self/fd/" + std::to_string(input_fd);
    }
    put(input_fd, data, size);
    put(out_fd, nullptr, 0);
    put(err_fd, nullptr, 0);

    // Standard output and error go to memory files for the call only, so
    // that the fuzzer's own reports still reach the terminal.
    fflush(stdout);
    int saved_out = dup(1), saved_err = dup(2);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    double r = core_mhz_from(input_path.c_str(), 1);
    fflush(stdout);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_out);
    close(saved_err);

    std::string out = take(out_fd), errtext = take(err_fd);
    char piece[512];
    cpuinfo_rate shared = read_cpuinfo_rate(input_path.c_str(), &piece);
    double m = expected_rate(data, size);
    double ghz = m / 1000.0;
    if (ghz > 0.0 && std::isfinite(ghz)) {
        char line[512];  /* room for any finite double in %.4f */
        snprintf(line, sizeof line, "Processor Clock Rate ~= %.4f GHz (extracted from file)\n", ghz);
        if (shared.source != cpuinfo_line || shared.ghz != ghz || shared.mhz != ghz * 1000.0)
            abort();
        if (cpu_ghz != ghz || r != ghz * 1000.0 || !errtext.empty() || out != line)
            abort();
    } else {
        if (shared.source != cpuinfo_no_usable_line || shared.ghz != 1.0 || shared.mhz != 1000.0)
            abort();
        if (r != 1000.0 || cpu_ghz != 1.0 || errtext != cpuinfo_warning || !out.empty())
            abort();
    }
    return 0;
}
