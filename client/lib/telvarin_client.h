/* telvarin_client: the client side of the Telvarin registry protocol, for C and C++ programs.

   It opens the keys in the 32-bit view, reads the six values the way the service reads them
   (anything but a 4-byte REG_DWORD is 0), watches Notification for events and answers, and sends
   requests with the handshake described in docs/protocol.md. Programs that use it take turns
   through one named lock, so that two of them at once never lose, double or swap each other's
   requests or settings changes. The running service makes that lock (its name starts with
   TELVARIN_CLIENT_LOCK) and publishes it; while the service is not running there is none, and
   nothing waits for one.

   Linking: the DLL telvarin_client.dll through its import library (the default), or the static
   library with TELVARIN_CLIENT_STATIC defined before this header and advapi32 linked too.

   Every function that returns a long returns a Windows error code: TELVARIN_OK (0) on success,
   else one of the TELVARIN_E_* names below or another ERROR_* code. telvarin_error_text() turns
   any of them into one line of text. The three others: telvarin_error_text() returns text,
   telvarin_value() a description or NULL, telvarin_watch_close() nothing. Every out-parameter
   that is not NULL is written on every return, failures included, even when another argument
   is rejected: a failure leaves zeros (and NULL pointers) unless its function says otherwise.
   Nothing throws. */
#ifndef TELVARIN_CLIENT_H
#define TELVARIN_CLIENT_H

#include <windows.h>

#include <stddef.h>

#include "common/protocol.h"

/* The calling convention is spelt out, so that a project whose default is another one
   (MSVC's /Gz or /Gr) still calls these functions correctly. */
#define TELVARIN_CALL __cdecl
#if defined(TELVARIN_CLIENT_STATIC) || defined(TELVARIN_CLIENT_BUILDING)
#define TELVARIN_API
#else
#define TELVARIN_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define TELVARIN_OK ERROR_SUCCESS
#define TELVARIN_E_KEY_MISSING ERROR_FILE_NOT_FOUND  /* the service has never run on this machine */
#define TELVARIN_E_ACCESS_DENIED ERROR_ACCESS_DENIED /* writing needs an elevated process, or CLIENTACCESS=1 */
#define TELVARIN_E_NO_ANSWER ERROR_TIMEOUT           /* no acknowledgement (or no change) in time */
#define TELVARIN_E_BUSY ERROR_BUSY                   /* another client held the lock for the whole wait */
#define TELVARIN_E_CANCELLED ERROR_CANCELLED         /* the caller's cancel event was set */
#define TELVARIN_E_ARGUMENT ERROR_INVALID_PARAMETER  /* a bad request number or a null pointer */

/* How many times telvarin_request() should write one request before it gives up: a request that
   the service absorbed into an earlier one is served at the latest by the third write. */
#define TELVARIN_REQUEST_ATTEMPTS 3

/* How long a settings write waits for the lock: as long as a request with a 5000 ms time-out
   and TELVARIN_REQUEST_ATTEMPTS attempts may hold it. */
#define TELVARIN_SETTING_LOCK_WAIT_MS 15000

/* How long telvarin_request(17) keeps the lock after its write, so that the service reads that
   write on its own before another client's request follows (see telvarin_request). */
#define TELVARIN_REQUEST_17_SETTLE_MS 100

/* One line for `status`; with `key` (a TELVARIN_KEY_* path, TELVARIN_CLIENT_LOCK or NULL) it
   names what the error is about. Returns `buffer`, which always ends with a NUL (with a NULL
   buffer or a size of 0: a static empty string). */
TELVARIN_API const char* TELVARIN_CALL telvarin_error_text(long status, const char* key, char* buffer, size_t size);

/* ---- the six values --------------------------------------------------------------------- */
typedef enum telvarin_value_id {
    TELVARIN_VAL_NOTIFICATION,        /* Notification "": event bits */
    TELVARIN_VAL_NOTIFICATION_TYPE2,  /* Notification "Type2": answers */
    TELVARIN_VAL_CAPABILITY,          /* Capability "" */
    TELVARIN_VAL_CAPABILITY_TYPE2,    /* Capability "Type2" */
    TELVARIN_VAL_CURRENT_SETTING,     /* CurrentSetting "": the settings word */
    TELVARIN_VAL_STATUS_CONTROL,      /* StatusControl "Type2": requests */
    TELVARIN_VAL_COUNT
} telvarin_value_id;

typedef struct telvarin_value_info {
    const char* key;    /* path under HKEY_LOCAL_MACHINE (32-bit view) */
    const char* name;   /* "" is the key's default value */
    const char* label;  /* short stable name: "Notification.Type2" */
} telvarin_value_info;

/* NULL for an id out of range. */
TELVARIN_API const telvarin_value_info* TELVARIN_CALL telvarin_value(telvarin_value_id id);

typedef enum telvarin_read_state {
    TELVARIN_READ_OK,
    TELVARIN_READ_ABSENT,       /* the value does not exist */
    TELVARIN_READ_NOT_DWORD,    /* another type or size */
    TELVARIN_READ_KEY_MISSING,  /* the key does not exist */
    TELVARIN_READ_FAILED        /* another error: see the status returned */
} telvarin_read_state;

typedef struct telvarin_reading {
    DWORD value;               /* 0 unless state is TELVARIN_READ_OK, as the service reads it */
    telvarin_read_state state;
} telvarin_reading;

/* Reads one value. An absent value or one of another type is no error: TELVARIN_OK, value 0,
   and `state` says which. A missing key returns TELVARIN_E_KEY_MISSING. On failure `out` holds
   value 0 and state TELVARIN_READ_KEY_MISSING or TELVARIN_READ_FAILED. */
TELVARIN_API long TELVARIN_CALL telvarin_read(telvarin_value_id id, telvarin_reading* out);
/* The same rule for a value under a key the caller opened. */
TELVARIN_API long TELVARIN_CALL telvarin_read_dword(HKEY key, const char* name, telvarin_reading* out);

/* Writes CurrentSetting "" (the service sends its complement to the firmware). Needs write
   access to the key (an elevated process, or CLIENTACCESS=1). The service resets it at each
   start: write it again after a restart. Waits up to TELVARIN_SETTING_LOCK_WAIT_MS for the lock:
   TELVARIN_E_BUSY when another client held it that long. */
TELVARIN_API long TELVARIN_CALL telvarin_write_setting(DWORD value);
/* Changes some bits of CurrentSetting "": the new word is (current AND NOT clear_bits) OR
   set_bits, read and written under the lock, so that clients that each change their own bits
   never undo each other's. `written` (or NULL) receives the word written, 0 on failure. */
TELVARIN_API long TELVARIN_CALL telvarin_change_setting(DWORD clear_bits, DWORD set_bits, DWORD* written);

/* ---- events and answers ----------------------------------------------------------------- */
typedef struct telvarin_notification {
    DWORD events;   /* Notification "" */
    DWORD answers;  /* Notification "Type2" */
} telvarin_notification;

typedef struct telvarin_watch telvarin_watch;

/* Starts watching Notification and reads both values into `now`; the watch is armed before
   the read, so no later change is missed. Close it with telvarin_watch_close(). On failure
   `*watch` is NULL. */
TELVARIN_API long TELVARIN_CALL telvarin_watch_open(telvarin_watch** watch, telvarin_notification* now);
/* Waits until either value differs from the last one reported, then stores both in `now`.
   TELVARIN_E_NO_ANSWER after `timeout_ms` (INFINITE waits for ever), TELVARIN_E_CANCELLED when
   `cancel` (an event, or NULL) is set. Two changes close together can show as one. */
TELVARIN_API long TELVARIN_CALL telvarin_watch_next(telvarin_watch* watch, DWORD timeout_ms, HANDLE cancel,
                                                    telvarin_notification* now);
TELVARIN_API void TELVARIN_CALL telvarin_watch_close(telvarin_watch* watch);

/* ---- requests --------------------------------------------------------------------------- */
typedef struct telvarin_answer {
    DWORD requests;     /* StatusControl "Type2" as last written */
    DWORD answers;      /* Notification "Type2" holding the acknowledgement (request 17: as it
                           stood when the request was written) */
    int on;             /* request 0: state A is on; request 1: device B is on (the answer);
                           request 17: the service will switch device B on (1) or off (0) */
    int writes;         /* how many times the request was written */
    const char* key;    /* on failure, the TELVARIN_KEY_* path or TELVARIN_CLIENT_LOCK the error
                           is about, or NULL */
} telvarin_answer;

/* Sends request 0, 1 or 17 and, for 0 and 1, waits for its acknowledgement.

   First it takes the lock that the library's clients share, waiting up to timeout_ms times
   `attempts` (TELVARIN_E_BUSY when another client held it that long), and holds it until the
   call returns: another library client's request never comes between this one's write and its
   answer.

   Each attempt arms the watch on Notification, reads "Type2" as N0, reads the current
   StatusControl "Type2" and writes it with the request's bit inverted, then waits up to
   `timeout_ms` for bit 0 or 1 of Notification "Type2" to differ from N0; other changes are
   skipped. After a timeout it looks once more (a late answer counts), then starts the next
   attempt, up to `attempts` (TELVARIN_REQUEST_ATTEMPTS is the rule; 1 leaves retrying to the
   caller, who then calls again the same way). Returns TELVARIN_E_NO_ANSWER when no attempt was
   acknowledged: the service is not running or not ready, or the firmware call failed.

   Request 17 is never acknowledged. It is written once; TELVARIN_OK means written, no more.
   The library cannot know whether the service served it, nor whether the firmware call
   succeeded. The call returns TELVARIN_REQUEST_17_SETTLE_MS (100 ms) after the write, holding
   the lock until then (less when `cancel` is set meanwhile: still TELVARIN_OK), so that the
   next library request does not reach the service together with it (the service would serve
   only that one); a program that writes the registry itself can still cause that. Send
   request 1 afterwards to learn device B's state.

   Needs write access to StatusControl. Each write is an action for the firmware: a request that
   timed out can still be carried out. */
TELVARIN_API long TELVARIN_CALL telvarin_request(int request, DWORD timeout_ms, int attempts, HANDLE cancel,
                                                 telvarin_answer* out);

/* ---- the service ------------------------------------------------------------------------ */
/* The service's state in the service control manager (SERVICE_RUNNING, ...).
   ERROR_SERVICE_DOES_NOT_EXIST when it is not installed. */
TELVARIN_API long TELVARIN_CALL telvarin_service_state(DWORD* state);

#ifdef __cplusplus
}
#endif

#endif
