#pragma once
// The boundary between the tool and its video module (nightdehaze-video.so),
// the one part of the tool that links FFmpeg. The tool loads the module with
// dlopen only for an input that no picture decoder claims, so a run on a
// picture never maps FFmpeg's libraries. Only plain C types cross it.
#ifdef __cplusplus
extern "C" {
#endif

// One option of a video run as its declaration takes it (files/options.hpp):
// the declaration's keyword and the option's text, "" for a flag that is on.
// Every option the run was given crosses this way, and the module applies
// each with the same declaration, so an option video uses needs no field here.
struct NightdehazeVideoOption {
    const char* keyword;
    const char* text;
};

// One video run: a file, or a live source (a camera or stream URL, a capture
// device), as the command line asked for it.
struct NightdehazeVideoJob {
    const char* inputPath;
    const struct NightdehazeVideoOption* options;
    int optionCount;
};

// Receives the one-line message of a failed run; message lives only for the call.
typedef void (*NightdehazeVideoFailure)(void* receiver, const char* message);

// Receives what a call answers (a plan as JSON, a count); lives only for the call.
typedef void (*NightdehazeVideoReply)(void* receiver, const char* text);

// One part of a clip that a batch shares among workers (video/clip_part.hpp):
// the frames with timestamps in [from, to) of the video stream's time base,
// steady mode warmed up from the key frame warmFrom. wholeClip: the whole
// clip, audio and subtitles included (from, to and warmFrom unused).
struct NightdehazeVideoPart {
    const char* partPath;
    long long from;
    long long to;
    long long warmFrom;
    int wholeClip;
};

struct NightdehazeVideoModule {
    // nightdehazeVersion() of the library built into the module; the tool
    // refuses a module whose version differs from its own.
    const char* libraryVersion;
    // 1 when path is a regular file whose content holds a video stream that
    // FFmpeg decodes (not a single picture), else 0. Never fails.
    int (*isVideo)(const char* path);
    // Enhances the video and writes it, all or nothing, printing the stage
    // lines and the progress as the tool does; a live job runs until its
    // source ends or a signal stops it, and keeps what it wrote. Returns the
    // exit status of files/exit_status.hpp: 0 done; 1 failed or 2 usage
    // error, after one call of fail.
    int (*run)(const struct NightdehazeVideoJob* job, NightdehazeVideoFailure fail, void* receiver);
    // The parts a clip is cut into at key frames, about partSeconds each (0:
    // one part), the steady warm-up at least warmSeconds: replies
    // {"frames", "seconds", "frames_per_second", "cuts", "warm_from"} as JSON
    // (timestamps in the video stream's time base). Returns as run does.
    int (*plan)(const char* path, double partSeconds, double warmSeconds, NightdehazeVideoReply reply,
                NightdehazeVideoFailure fail, void* receiver);
    // Enhances one part of job's clip into part->partPath, quietly; replies
    // the frames written in decimal. Returns as run does.
    int (*runPart)(const struct NightdehazeVideoJob* job, const struct NightdehazeVideoPart* part,
                   NightdehazeVideoReply reply, NightdehazeVideoFailure fail, void* receiver);
    // Joins the parts written by runPart of the clip at sourcePath, in order,
    // by stream copy with its audio and subtitles into joinedPath (in place,
    // synced). Returns as run does.
    int (*join)(const char* sourcePath, const char* const* partPaths, int partCount, const char* joinedPath,
                NightdehazeVideoFailure fail, void* receiver);
};

// The module's one exported symbol. Its name carries the version of the
// layouts above: change them and the number, and a module built before is
// refused by name instead of misread.
const struct NightdehazeVideoModule* nightdehaze_video_module_5(void);
#define NIGHTDEHAZE_VIDEO_MODULE_ENTRY "nightdehaze_video_module_5"

#ifdef __cplusplus
}
#endif
