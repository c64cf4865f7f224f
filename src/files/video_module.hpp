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
};

// The module's one exported symbol. Its name carries the version of the
// layouts above: change them and the number, and a module built before is
// refused by name instead of misread.
const struct NightdehazeVideoModule* nightdehaze_video_module_4(void);
#define NIGHTDEHAZE_VIDEO_MODULE_ENTRY "nightdehaze_video_module_4"

#ifdef __cplusplus
}
#endif
