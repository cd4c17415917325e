// The Simple MAPI entry points the submission calls, supplied on Linux by droprelay's own
// submission facility: mail profiles (profiles.h) and delivery by SMTP or into a pickup folder.
//
// The records and constants carry the published Simple MAPI names and field order. Strings in
// the records are null-terminated and in the system's code page, which on Linux is UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "submit/submission.h"

namespace droprelay::submit {

using ULONG = std::uint32_t;
using FLAGS = std::uint32_t;
using LHANDLE = std::uint32_t;

inline constexpr ULONG SUCCESS_SUCCESS = 0;
inline constexpr ULONG MAPI_USER_ABORT = 1;
inline constexpr ULONG MAPI_E_FAILURE = 2;
inline constexpr ULONG MAPI_E_LOGIN_FAILURE = 3;
inline constexpr ULONG MAPI_E_INSUFFICIENT_MEMORY = 5;
inline constexpr ULONG MAPI_E_ATTACHMENT_NOT_FOUND = 11;
inline constexpr ULONG MAPI_E_ATTACHMENT_OPEN_FAILURE = 12;
inline constexpr ULONG MAPI_E_UNKNOWN_RECIPIENT = 14;
inline constexpr ULONG MAPI_E_BAD_RECIPTYPE = 15;
inline constexpr ULONG MAPI_E_INVALID_SESSION = 19;
inline constexpr ULONG MAPI_E_INVALID_MESSAGE = 24;
inline constexpr ULONG MAPI_E_INVALID_RECIPS = 25;

inline constexpr ULONG MAPI_ORIG = 0;
inline constexpr ULONG MAPI_TO = 1;
inline constexpr ULONG MAPI_CC = 2;
inline constexpr ULONG MAPI_BCC = 3;

inline constexpr FLAGS MAPI_LOGON_UI = 0x00000001;
inline constexpr FLAGS MAPI_DIALOG = 0x00000008;

struct MapiRecipDesc {
  ULONG ulReserved;
  ULONG ulRecipClass;
  char* lpszName;
  char* lpszAddress;
  ULONG ulEIDSize;
  void* lpEntryID;
};

struct MapiFileDesc {
  ULONG ulReserved;
  ULONG flFlags;
  ULONG nPosition;
  char* lpszPathName;
  char* lpszFileName;
  void* lpFileType;
};

struct MapiMessage {
  ULONG ulReserved;
  char* lpszSubject;
  char* lpszNoteText;
  char* lpszMessageType;
  char* lpszDateReceived;
  char* lpszConversationID;
  FLAGS flFlags;
  MapiRecipDesc* lpOriginator;
  ULONG nRecipCount;
  MapiRecipDesc* lpRecips;
  ULONG nFileCount;
  MapiFileDesc* lpFiles;
};

// Opens a session on the named mail profile. For a server profile it proves the server
// reachable and the credentials (the profile's user, `lpszPassword`) accepted; for a pickup
// folder, that the folder is there and writable. 0 on success; otherwise MAPI_E_LOGIN_FAILURE for
// a profile that cannot be used or credentials the server refused, MAPI_USER_ABORT for a stop,
// MAPI_E_FAILURE for anything else. LogonMailProfile below says why.
// One session is open at a time: a logon with the open session's profile and password answers
// that session (after RSET on its connection) instead of connecting again; any other logon ends
// it first.
ULONG MAPILogon(ULONG ulUIParam, const char* lpszProfileName, const char* lpszPassword, FLAGS flFlags,
                ULONG ulReserved, LHANDLE* lplhSession);

// Composes the message and delivers it through the session's profile. 0 on success; a recipient
// the server refused answers MAPI_E_UNKNOWN_RECIPIENT, any other refusal or failure
// MAPI_E_FAILURE, a handle that is no open session MAPI_E_INVALID_SESSION, and invalid records
// their own codes (MapiCodeOf). Nothing is delivered when a recipient or attachment is invalid.
// SendMailMessage below says why.
ULONG MAPISendMail(LHANDLE lhSession, ULONG ulUIParam, MapiMessage* lpMessage, FLAGS flFlags, ULONG ulReserved);

// Ends the session: a server connection still open is closed with QUIT, whose answer is awaited a
// few seconds at most (none once a stop was asked, see below).
ULONG MAPILogoff(LHANDLE lhSession, ULONG ulUIParam, FLAGS flFlags, ULONG ulReserved);

// droprelay's own additions to the facility, outside Simple MAPI.
//
// Recipient classes: every MAPI_TO recipient must be accepted, or nothing is sent. A MAPI_CC or
// MAPI_BCC recipient is a copy: when the server refuses it for itself (a 4xx or 5xx to its RCPT
// that speaks of no quota, sender or account), the message goes to the others without it,
// MAPISendMail answers 0 and SendMailMessage lists it in refusedCopies. (The relay passes "main ;
// copy": the rewritten address is the MAPI_TO recipient, the send_copy_to address a MAPI_CC one.)
//
// Logons: a logon that failed (no connection, refused credentials, an unusable pickup folder) is
// remembered with its profile and password; until ForgetFailedLogons, the same logon answers the
// same failure at once, without trying again. Changing the profile or the password tries anew.
//
// Stops: once a termination signal arrived (platform/termination_signal.h), a logon answers
// MAPI_USER_ABORT at once, and a transfer still before its message data (connecting, greeting,
// logon, envelope) is ended, answering MAPI_USER_ABORT; a message whose data went out waits for
// the server's reply. A session that ends after a stop (MAPILogoff, a logon that replaces it)
// closes its connection without QUIT, and a stop during the wait for the answer to QUIT ends it.
//
// Broken connections: a message that failed without the server's answer explaining it (the
// connection broke, a reply did not come in time, the upload was abandoned) leaves its connection
// closed without RSET or QUIT; the next logon's take-over opens a new one.

// The facility's answers as values: MAPILogon and MAPISendMail are these in Simple MAPI's codes.
// Neither throws for a failure of its own; an exception on the way (memory) is answered as
// kInternalError with its text.
//
// The logon: kDelivered with `session` set, or why not (kNoMailProfile for a profile that is not
// there at all, kLogonRefused for one that cannot be used, else the delivery's own answer).
SubmissionResult LogonMailProfile(const std::string& profileName, const std::string& password, LHANDLE& session);
// The send through the open session `session` (kSendFailed for a handle that is none).
SubmissionResult SendMailMessage(LHANDLE session, const MapiMessage& message);

// The Simple MAPI code a result stands for: 0 when delivered, MAPI_USER_ABORT for a stop,
// MAPI_E_LOGIN_FAILURE for a profile or logon refused, MAPI_E_UNKNOWN_RECIPIENT for a refused
// RCPT, MAPI_E_INVALID_RECIPS, MAPI_E_INVALID_MESSAGE, MAPI_E_ATTACHMENT_NOT_FOUND for invalid
// recipients, message or attachment, MAPI_E_FAILURE for everything else.
ULONG MapiCodeOf(const SubmissionResult& result);

// Forgets the failed logons remembered so far: the next logon tries again. For the end of a run.
void ForgetFailedLogons();

// Trace header fields (complete "Received: ..." fields without their line end) that every
// message composed from now on begins with. Empty: none.
void SetTraceFields(std::vector<std::string> fields);

}  // namespace droprelay::submit
