// sensormidi-synth: the software synthesizer for sensormidi. It listens on card 1's
// virtual MIDI port, where the instrument plays, and plays what comes through
// FluidSynth to the sound output that AUDIO_DEVICE names or auto picks, following it
// as cards come and go.
//
// Usage: sensormidi-synth [--name NAME]    (the sequencer client's name, and the state's
//                                           folder under $XDG_RUNTIME_DIR outside a unit)
//        sensormidi-synth --pick [ASOUND_DIR DRM_DIR]
#include "synth/cards.h"
#include "synth/events.h"
#include "synth/notify.h"
#include "synth/output.h"
#include "synth/pick.h"
#include "synth/report.h"
#include "synth/seq.h"
#include "synth/state.h"
#include "synth/synth.h"

#include <alsa/asoundlib.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <unistd.h>

namespace {

// The exit status for a setting or a font that is wrong: the unit does not restart on it.
constexpr int CONFIG_ERROR = 78;
// Ahead of everything else on the box, the output above the MIDI in, as a short buffer needs.
constexpr int OUTPUT_PRIORITY = 60, INPUT_PRIORITY = 50;
constexpr int RETRY_MS = 2000;  // without udev's events, cards are looked at this often
constexpr int REPORT_MS = 1000; // the notes timed are taken at least this often
constexpr int STOP_MS = 1500;   // a stop waits this long for the output to end
bool outputdone;                // under cardlock

const char *USAGE = "usage: sensormidi-synth [--name NAME] | --pick [ASOUND_DIR DRM_DIR]\n";

int printpick(const char *asound, const char *drm) {
    Pick pick = pickfrom(asound, drm);
    if (pick.device.empty()) {
        std::fprintf(stderr, "cards found: %s\n", pick.found.c_str());
        return 1;
    }
    std::printf("%s\n", pick.device.c_str());
    return 0;
}

// The unit's runtime directory, or the user's; "" when there is neither.
std::string runtimedir(const char *name) {
    if (const char *dir = std::getenv("RUNTIME_DIRECTORY")) return dir;
    const char *user = std::getenv("XDG_RUNTIME_DIR");
    if (!user) return "";
    std::string dir = std::string(user) + "/" + name;
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "sensormidi-synth: %s: %s\n", dir.c_str(), std::strerror(errno));
        return "";
    }
    return dir;
}

void realtime(std::thread &output) {
    sched_param out{}, in{};
    out.sched_priority = OUTPUT_PRIORITY;
    in.sched_priority = INPUT_PRIORITY;
    int err = pthread_setschedparam(output.native_handle(), SCHED_FIFO, &out);
    if (err == 0) err = pthread_setschedparam(pthread_self(), SCHED_FIFO, &in);
    if (err != 0)
        std::printf("sensormidi-synth: no real-time priority (%s): the sound may break up while "
                    "the box is busy\n",
                    std::strerror(err));
}

void changed() {
    std::lock_guard<std::mutex> lock(cardlock);
    cardschanged = true;
    cardwake.notify_one();
}

void quietalsa(const char *, int, const char *, int, const char *, ...) {}

} // namespace

int main(int argc, char **argv) {
    // Each line reaches the journal as it is said.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const char *name = "sensormidi-synth";
    if (argc >= 2 && std::strcmp(argv[1], "--pick") == 0 && (argc == 2 || argc == 4))
        return argc == 4 ? printpick(argv[2], argv[3])
                         : printpick("/proc/asound", "/sys/class/drm");
    if (argc == 3 && std::strcmp(argv[1], "--name") == 0)
        name = argv[2];
    else if (argc != 1)
        return std::fputs(USAGE, stderr), 2;

    // The stop signals are read in the loop below, in turn with MIDI and cards: every thread
    // blocks them, FluidSynth's own among them, which it starts as it opens (a thread that
    // did not would die of the signal, and the notes with it).
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&stops, sig);
    pthread_sigmask(SIG_BLOCK, &stops, nullptr);

    std::string wrong =
        readsettings([](const char *key) -> const char * { return std::getenv(key); }, settings);
    if (wrong.empty()) wrong = synth_open(settings);
    if (!wrong.empty()) {
        std::printf("%s\n", wrong.c_str());
        return CONFIG_ERROR;
    }
    statedir = runtimedir(name);
    if (statedir.empty())
        std::printf("sensormidi-synth: no runtime directory: a restart begins at program 0\n");
    parseprograms(loadstate(statedir, "programs"), programs);
    for (int c = 0; c < CHANNELS; c++)
        if (programs[c] >= 0)
            synth_apply({PROGRAM_CHANGE, static_cast<unsigned char>(c),
                         static_cast<unsigned char>(programs[c]), 0, 0});
    // Auto's period goes on where it had come to before a restart.
    if (settings.autoperiod) {
        climbstart(loadstate(statedir, "period"), nowms());
        if (climbperiod > AUTO_FIRST) periodfrom = "kept from before a restart";
    }
    // Paged out on a box that swaps, the loop would miss its periods.
    if (mlockall(MCL_CURRENT | MCL_FUTURE) != 0)
        std::printf("sensormidi-synth: memory not locked (%s): the sound may break up where the "
                    "box swaps\n",
                    std::strerror(errno));
    // alsa-lib's own messages would repeat, every retry, what the synth says once.
    snd_lib_error_set_handler(quietalsa);

    // A pipe or a socket gone (a file plugin's reader, the journal) must not end the synth.
    signal(SIGPIPE, SIG_IGN);
    int signals = signalfd(-1, &stops, SFD_CLOEXEC);
    if (signals < 0) {
        std::printf("sensormidi-synth: cannot read the stop signals: %s\n", std::strerror(errno));
        return 1;
    }
    if (seq_open(name) < 0) return 1;
    int cards = cards_open();

    inputwoke = nowms();
    std::thread output([] {
        outputloop();
        std::lock_guard<std::mutex> lock(cardlock);
        outputdone = true;
        cardwake.notify_all();
    });
    pthread_setname_np(output.native_handle(), "synth-output");
    realtime(output);
    pollfd fds[16];
    fds[0] = {signals, POLLIN, 0};
    fds[1] = {cards, POLLIN, 0};
    int count = 2 + seq_fds(fds + 2, 14);
    for (long long looked = nowms(); !stopping;) {
        poll(fds, count, REPORT_MS);
        // Awake: the output loop feeds systemd only while this thread wakes too.
        inputwoke = nowms();
        if (fds[0].revents) stopping = true;
        if (cards >= 0 && fds[1].revents && cards_event()) changed();
        if (cards < 0 && nowms() - looked >= RETRY_MS) {
            looked = nowms();
            changed();
        }
        for (int i = 2; i < count; i++)
            if (fds[i].revents) {
                seq_read(statedir);
                break;
            }
        report(nowms(), statedir);
    }
    changed();
    // The output ends its notes and drains; a write that never returns is not waited for.
    std::unique_lock<std::mutex> lock(cardlock);
    if (!cardwake.wait_for(lock, std::chrono::milliseconds(STOP_MS), [] { return outputdone; })) {
        std::printf("sensormidi-synth: the output did not end within %d ms: stopping without it\n",
                    STOP_MS);
        std::fflush(stdout);
        std::_Exit(0);
    }
    lock.unlock();
    output.join();
    return 0;
}
