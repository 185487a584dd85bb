/* Exit codes of the dump recorder, shared by the recorder and the service
 * that starts it. Plain C: the recorder is a C program without a run-time. */
#pragma once

#define RECORDER_SUCCESS 0
#define RECORDER_UNSPECIFIED 1 /* not produced by the recorder */
#define RECORDER_BAD_ARG_COUNT 101
#define RECORDER_BAD_ARGS 102
#define RECORDER_NO_FOLDER 103
#define RECORDER_NO_CLEANUP 104 /* not produced by the recorder */
#define RECORDER_BAD_NAME 105
#define RECORDER_NO_FILE 106
#define RECORDER_NO_CONTENT 107
#define RECORDER_NO_NTDLL 108
#define RECORDER_NO_MEMSET 109
#define RECORDER_NO_VSNWPRINTF 110
