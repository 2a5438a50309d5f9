/* Compiled as C89 and as C++ with only the SDK's include folder on the include path. */
#include <telvarin_client.h>

/* The declarations carry their calling convention: the assignment fails if they do not. */
static long (TELVARIN_CALL* const send_request)(int, DWORD, int, HANDLE, telvarin_answer*) = telvarin_request;

int telvarin_header_check(void) {
    telvarin_answer answer;
    char text[64];
    long status = send_request(TELVARIN_REQUEST_0, 0, TELVARIN_REQUEST_ATTEMPTS, NULL, &answer);
    return telvarin_error_text(status, TELVARIN_KEY_STATUS_CONTROL, text, sizeof text)[0] == 'd';
}
