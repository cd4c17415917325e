// The Simple MAPI entry points the submission calls, supplied on Linux by droprelay's own
// submission facility: mail profiles (profiles.h) and delivery by SMTP or into a pickup folder.
//
// The records and constants carry the published Simple MAPI names and field order. Strings in
// the records are null-terminated and in the system's code page, which on Linux is UTF-8.
#pragma once

#include <cstdint>

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
// folder, that the folder is there and writable. 0 on success; otherwise a non-zero code, with
// the failing call's own text recorded as the last error (the password never appears in it).
// One session is open at a time: a logon with the open session's profile and password answers
// that session (after RSET on its connection) instead of connecting again; any other logon ends
// it first.
ULONG MAPILogon(ULONG ulUIParam, const char* lpszProfileName, const char* lpszPassword, FLAGS flFlags,
                ULONG ulReserved, LHANDLE* lplhSession);

// Composes the message and delivers it through the session's profile. 0 on success; a refused
// delivery answers the server's reply code (for example 550), any other failure a Simple MAPI
// code; the failing call's text is recorded as the last error. Nothing is delivered when a
// recipient or attachment is invalid.
ULONG MAPISendMail(LHANDLE lhSession, ULONG ulUIParam, MapiMessage* lpMessage, FLAGS flFlags, ULONG ulReserved);

// Ends the session: a server connection still open is closed with QUIT.
ULONG MAPILogoff(LHANDLE lhSession, ULONG ulUIParam, FLAGS flFlags, ULONG ulReserved);

}  // namespace droprelay::submit
