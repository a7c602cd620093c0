/*
 * qel32.h - the public interface of the QEL e-mail client library.
 *
 * QEL sends mail through SMTP (HELO/EHLO, AUTH CRAM-MD5 and AUTH LOGIN, MIME
 * messages with text parts, inline images and base64 attachments) and reads
 * mail from POP3 (USER/PASS or APOP, STAT, LIST, TOP, UIDL, RETR decoded into
 * files with the attachments saved, DELE).
 *
 * All mail work happens on numbered channels (0 .. count-1) created by
 * qelAttach. An operation checks and stores its arguments and names the first
 * step of its protocol sequence; qelDriver carries out one step per call.
 * With the channel's autoCall setting on (the default) each operation drives
 * itself to completion and returns its final result; with autoCall off it
 * returns 0 at once and the caller calls qelDriver until it returns 0 (done)
 * or a negative error code (failed). qelDriver returns QEL_WAITING while a
 * pause or a writability wait is pending, and otherwise the number of the
 * step it will execute next.
 *
 * Every function returns a signed 32-bit result: 0 or a positive count,
 * handle or step number on success, a negative QEL_ERR_* code on failure.
 * A failing socket call is reported as its Windows Sockets error number,
 * negated (-10061 for a refused connection), on every platform.
 * qelErrorText turns any code into its text.
 *
 * Texts are 8-bit and NUL-terminated. Caller texts are copied before an
 * operation returns. No function throws, and none keeps a caller pointer
 * except the buffers of qelGetEmailLines and qelGetEmailUID and the message
 * of qelSendPreparedMemory, which must stay valid until the sequence ends
 * when autoCall is off.
 */
#ifndef QEL32_H
#define QEL32_H

#include <stdint.h>

#if defined(_WIN32)
#  if defined(QEL_BUILDING_LIBRARY)
#    define QEL_API __declspec(dllexport)
#  else
#    define QEL_API __declspec(dllimport)
#  endif
#  if defined(_M_IX86) || defined(__i386__)
#    define QEL_CALL __stdcall
#  else
#    define QEL_CALL
#  endif
#else
#  if defined(QEL_BUILDING_LIBRARY)
#    define QEL_API __attribute__((visibility("default")))
#  else
#    define QEL_API
#  endif
#  define QEL_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------
 * Special results and limits
 * ------------------------------------------------------------------------- */
#define QEL_WAITING          9999  /* qelDriver: nothing ran yet (pause or socket not writable); call again */
#define QEL_MAX_CHANNELS     128   /* largest channel count qelAttach accepts */
#define QEL_SWEEP_CHANNEL    (-2)  /* qelDebug channel that runs the memory guard sweep */

/* ---------------------------------------------------------------------------
 * Error codes (negative results). qelErrorText gives the exact text.
 * ------------------------------------------------------------------------- */
#define QEL_ERR_CANNOT_COMPLY          0      /* "Cannot comply" (text only) */
#define QEL_ERR_SOCKET_CLOSED          (-1)   /* peer closed the connection; also: index not served */
#define QEL_ERR_WINSOCK_BLOCKING       (-4)   /* text only */
#define QEL_ERR_BAD_STATUS_FLAG        (-5)   /* readiness test asked for an unknown kind */
#define QEL_ERR_INVALID_SOCKET         (-7)   /* no socket could be created; call qelDriver again to retry */
#define QEL_ERR_TIMED_OUT              (-8)   /* a reply or connection did not come in time */
#define QEL_ERR_NO_SOCKADDR            (-9)   /* text only */
#define QEL_ERR_NO_HOST_NAME           (-12)  /* the local host name is empty */
#define QEL_ERR_CANNOT_CREATE_SOCKET   (-18)  /* socket creation returned a bad handle */
#define QEL_ERR_RESPONSE_OVERFLOW      (-31)  /* an SMTP reply did not fit in 1024 bytes */
#define QEL_ERR_BAD_ADDRESS_CHAR       (-32)  /* an address holds a character that is not allowed; also a CR or LF in
                                                 any text that goes into a command (From, To/CC/BCC, VRFY names,
                                                 POP3 user and password), refused before anything is sent */
#define QEL_ERR_CANNOT_ACCESS_WINSOCK  (-34)  /* text only */
#define QEL_ERR_CANNOT_OPEN_FILE       (-35)  /* a body or attachment file to send cannot be opened */
#define QEL_ERR_CONNECT_FAILED         (-36)  /* connection failed; qelErrorText appends the last reply */
#define QEL_ERR_EMPTY_ADDRESS          (-37)  /* empty address, or "@" first or last inside the brackets */
#define QEL_ERR_FROM_NULL              (-38)  /* qelSmtpConnect: From is NULL */
#define QEL_ERR_MISSING_AT             (-39)  /* no "@" inside the brackets */
#define QEL_ERR_MISSING_FROM           (-40)  /* no From address when a send starts */
#define QEL_ERR_MISSING_LT             (-41)  /* no "<" in an address */
#define QEL_ERR_MISSING_GT             (-43)  /* no ">" after the "<" of an address */
#define QEL_ERR_NOT_CONNECTED          (-44)  /* qelSendEmail: the connection is not usable */
#define QEL_ERR_NO_RECIPIENT           (-45)  /* no To list, or no VRFY name */
#define QEL_ERR_SERVER_NOT_FOUND       (-46)  /* the server name cannot be resolved */
#define QEL_ERR_NULL_POINTER           (-47)  /* a required pointer is NULL */
#define QEL_ERR_TO_NULL                (-48)  /* text only */
#define QEL_ERR_SMTP_ERROR             (-49)  /* SMTP reply 5xx; also any reply but 2xx to the greeting, EHLO/HELO,
                                                 MAIL, RCPT and the final ".", and but 3xx to DATA;
                                                 qelErrorText appends the reply */
#define QEL_ERR_NO_SERVER              (-50)  /* server name is NULL */
#define QEL_ERR_SOCKET_READ            (-51)  /* text only */
#define QEL_ERR_SOCKET_WRITE           (-52)  /* a command or data line could not be sent */
#define QEL_ERR_TOO_MANY_AT            (-53)  /* a second "@" inside the brackets */
#define QEL_ERR_UNEXPECTED_GT          (-54)  /* text only */
#define QEL_ERR_NO_MEMORY              (-55)  /* no memory block could be allocated (or slot still in use) */
#define QEL_ERR_BAD_SERVER_NAME        (-56)  /* server name holds illegal characters; raw command on an unconnected channel */
#define QEL_ERR_NO_APOP_TIMESTAMP      (-57)  /* APOP asked for but the greeting holds no usable <timestamp> */
#define QEL_ERR_SMTP_ONLY              (-58)  /* SMTP operation on a channel that is not an SMTP channel */
#define QEL_ERR_POP3_ONLY              (-59)  /* POP3 operation on a channel that is not a POP3 channel */
#define QEL_ERR_NO_USER                (-61)  /* qelPop3Connect: user is NULL */
#define QEL_ERR_NO_PASSWORD            (-62)  /* qelPop3Connect: password is NULL */
#define QEL_ERR_POP3_ERROR             (-63)  /* POP3 answer not "+OK"; qelErrorText appends the reply */
#define QEL_ERR_NO_SUCH_MESSAGE        (-64)  /* message number below 1 */
#define QEL_ERR_NO_FILENAME            (-65)  /* qelGetEmailFile: file name is NULL */
#define QEL_ERR_NO_EMAIL_PATH          (-66)  /* qelGetEmailFile: message directory is NULL */
#define QEL_ERR_CANNOT_CREATE_FILE     (-67)  /* a message or lines file cannot be created */
#define QEL_ERR_BUFFER_NULL            (-68)  /* qelGetEmailUID: buffer is NULL */
#define QEL_ERR_BUFFER_TOO_SMALL       (-69)  /* caller buffer smaller than 128 bytes */
#define QEL_ERR_NO_ATTACH_PATH         (-70)  /* qelGetEmailFile: attachment directory is NULL */
#define QEL_ERR_NOT_ATTACHED           (-71)  /* qelAttach has not been called */
#define QEL_ERR_ALREADY_ATTACHED       (-72)  /* qelAttach called twice */
#define QEL_ERR_CHANNEL_RANGE          (-73)  /* channel number (low 16 bits) not below the channel count */

/* Extensions: TLS. qelErrorText appends the reason after one space (the
 * server's answer, or what the TLS layer reported). */
#define QEL_ERR_TLS_NOT_OFFERED        (-110) /* TLS required, but the server does not offer or refuses STARTTLS/STLS */
#define QEL_ERR_TLS_HANDSHAKE          (-111) /* the TLS handshake failed (closed, garbage, no common version) */
#define QEL_ERR_TLS_UNTRUSTED          (-112) /* certificate chain not trusted, expired or not yet valid */
#define QEL_ERR_TLS_NAME_MISMATCH      (-113) /* certificate not for the server name (or address) connected to */
#define QEL_ERR_TLS_UNAVAILABLE        (-114) /* this build has no TLS, or the TLS layer cannot start */
#define QEL_ERR_TLS_CA_FILE            (-115) /* the file of QEL_STRING_CA_FILE cannot be read as PEM certificates */

/* Socket-level codes, the Windows Sockets error numbers negated. */
#define QEL_WSA_EINTR            (-10004)
#define QEL_WSA_EWOULDBLOCK      (-10035)
#define QEL_WSA_ENOTSOCK         (-10038)
#define QEL_WSA_ECONNRESET       (-10054)
#define QEL_WSA_ETIMEDOUT        (-10060)
#define QEL_WSA_ECONNREFUSED     (-10061)
#define QEL_WSA_HOST_NOT_FOUND   (-11001)
#define QEL_WSA_TRY_AGAIN        (-11002)
#define QEL_WSA_NO_RECOVERY      (-11003)
#define QEL_WSA_NO_DATA          (-11004)

/* ---------------------------------------------------------------------------
 * qelIntegerParam indexes. "library" settings are shared by all channels
 * (set through any channel); "channel" settings belong to one channel.
 * Pauses and time-outs (1, 2, 3, 5, 6, 11, 12, 13) given as a negative
 * value are stored as 0; no pause lasts longer than the wait it serves.
 * ------------------------------------------------------------------------- */
#define QEL_PARAM_MINIMUM_WAIT        1   /* library: pause in ms before the step after a command (25) */
#define QEL_PARAM_REPLY_TIMEOUT       2   /* library: ms a server reply may take (25000) */
#define QEL_PARAM_CONNECT_TIMEOUT     3   /* library: ms a connection attempt may take (60000) */
#define QEL_PARAM_LINE_DELAY          5   /* library: pause in ms after each body or attachment line (0) */
#define QEL_PARAM_LINE_AND_READ_WAIT  6   /* library: sets both LINE_TIMEOUT and POP3_READ_WAIT */
#define QEL_PARAM_BODY_TYPE           8   /* channel: QEL_BODY_* kind of message text (value AND 15) */
#define QEL_PARAM_AUTO_CALL           9   /* channel: 1 operations drive themselves, 0 caller drives (1) */
#define QEL_PARAM_NUMBER_NAMES        10  /* channel: prefix saved attachment names with "N-" (0) */
#define QEL_PARAM_LINE_TIMEOUT        11  /* library: deadline in ms after each outgoing line (25000) */
#define QEL_PARAM_POP3_READ_WAIT      12  /* library: ms the POP3 readers wait for data (25000) */
#define QEL_PARAM_POLL_INTERVAL       13  /* library: sleep in ms between polls of a wait loop (100) */
#define QEL_PARAM_SAVE_UNNAMED        14  /* channel: save base64 parts that carry no file name (0) */
#define QEL_PARAM_SMTP_PORT           15  /* channel: SMTP port (25) */
#define QEL_PARAM_POP3_PORT           16  /* channel: POP3 port (110) */
#define QEL_PARAM_MAX_LINE_LENGTH     17  /* library: longest outgoing body line (78) */
#define QEL_PARAM_BLOCKING_CONNECT    18  /* channel: non-zero connects in blocking mode (0) */
#define QEL_PARAM_RAW_EIGHT_BIT       19  /* library: plain bodies keep bytes outside 0x20..0x7E (0) */
#define QEL_PARAM_OMIT_SAVED_NOTE     21  /* library: no "[Attachment saved to ...]" note in message files (0) */
#define QEL_PARAM_OMIT_TO_HEADER      22  /* library: leave the "To:" line out of sent messages (0) */
#define QEL_PARAM_RECIPIENT_SEPARATOR 23  /* library: character between recipient list items (',') */
#define QEL_PARAM_CLEANUP_ON_RELEASE  24  /* library: qelRelease ends the socket layer (1) */
#define QEL_PARAM_ATTACH_SEPARATOR    25  /* library: character between attachment items and saved names (',') */
#define QEL_PARAM_NAME_SEPARATOR      26  /* library: character between a path and its shown name ('|') */
#define QEL_PARAM_IMAGE_TYPES         27  /* channel: .gif .bmp .tif .jpg attachments go as inline images (1) */
#define QEL_PARAM_DECODE_STATE        28  /* channel: 1 = raw downloads (no MIME decoding), other = decode (0) */
#define QEL_PARAM_USE_ESMTP           29  /* channel: greet with EHLO and authenticate when offered (0) */
#define QEL_PARAM_USE_APOP            30  /* channel: POP3 login with APOP instead of USER/PASS (0) */

/* Extensions: TLS (channel settings; set them before the connect).
 * With TLS on, the server certificate is checked against the system trust
 * store and QEL_STRING_CA_FILE, and the server name (or dotted address) given
 * to the connect must be one it names (RFC 6125); TLS 1.2 at least. Nothing
 * after a failed TLS step leaves the client: the connect fails with one of
 * the QEL_ERR_TLS_* codes and the connection is closed. */
#define QEL_PARAM_TLS_MODE            110 /* channel: QEL_TLS_* (QEL_TLS_OFF); other values refused with -1 */
#define QEL_PARAM_TLS_VERIFY          111 /* channel: 0 turns the certificate check off, logged (1) */

/* Values of QEL_PARAM_TLS_MODE. The port stays the caller's: usually 587/110
 * for STARTTLS and 465/995 for implicit TLS. */
#define QEL_TLS_OFF                 0 /* no TLS */
#define QEL_TLS_STARTTLS            1 /* SMTP STARTTLS (RFC 3207) / POP3 STLS (RFC 2595), or fail: -110 */
#define QEL_TLS_STARTTLS_OPTIONAL   2 /* as 1, but in clear when the server offers none; an active attacker can force that */
#define QEL_TLS_IMPLICIT            3 /* TLS from the first byte (ports 465, 995) */
/* Extensions: timing (library settings; a value below 0 counts as 0). */
#define QEL_PARAM_CLOSE_PAUSE         100 /* library: pause in ms after a channel closes its socket (500) */
#define QEL_PARAM_LOGIN_PAUSE         101 /* library: extra pause in ms before the HELO/EHLO, AUTH and POP3 login replies are read (200) */
#define QEL_PARAM_FINAL_REPLY_WAIT    102 /* library: ms one qelDriver call waits for the answer to a whole message (100); 0 when one thread drives many channels */
/* Extensions: raw download (channel setting). With 1, a raw download
 * (QEL_PARAM_DECODE_STATE 1) writes only the message: no status line, the
 * dot-stuffing undone (RFC 1939), no end line; it ends at the same "." line
 * as the default; QEL_PARAM_POP3_READ_WAIT of silence before that line fails
 * it with QEL_ERR_TIMED_OUT (the file keeps what arrived). 0 = the answer as
 * it came. */
#define QEL_PARAM_RAW_MESSAGE_ONLY    103 /* channel: 1 = a raw download stores the message itself (0) */
/* Extensions: prompt acknowledgements (channel setting). With 1, before the
 * channel waits for more data it acknowledges what it has received at once,
 * rather than after the system's delayed-acknowledgement timer: a server that
 * holds back its short last write until the data before it is acknowledged
 * (the Nagle algorithm) sends it without waiting up to 40 ms (Linux) or
 * 200 ms (Windows). Linux: TCP_QUICKACK before each wait; QEL32.dll: the
 * connection acknowledges every segment (SIO_TCP_SET_ACK_FREQUENCY 1) where
 * Windows supports it, else nothing changes. The bytes sent and received
 * are the same either way. 0 = the system's timing. */
#define QEL_PARAM_PROMPT_ACK          104 /* channel: 1 = acknowledge received data before waiting for more (0) */
/* Extensions: fast timing in one setting (library). 1 sets the pauses
 * QEL_PARAM_MINIMUM_WAIT, QEL_PARAM_CLOSE_PAUSE, QEL_PARAM_LOGIN_PAUSE and
 * QEL_PARAM_FINAL_REPLY_WAIT to 0 and turns prompt acknowledgements
 * (QEL_PARAM_PROMPT_ACK) on for every channel; 0 gives the four pauses their
 * defaults back and leaves acknowledgements to each channel's own setting.
 * A pause set on its own afterwards keeps its value. Waits end as soon as
 * their socket is ready whatever QEL_PARAM_POLL_INTERVAL says, so that needs
 * no change. */
#define QEL_PARAM_FAST_TIMING         191 /* library: 1 = no pauses, prompt acknowledgements (0) */

/* Extensions: the download decoder (channel settings).
 * Full MIME mode: qelGetEmailFile follows multipart parts to any depth (32
 * levels followed, deeper ones saved whole), writes the top header as received
 * and the readable text (the first text/plain, else text/html, of each
 * alternative, decoded; a "[Text charset: X]" line above text that names a
 * charset other than us-ascii) into the message file, and saves every other
 * part as a file: named by Content-Disposition filename (RFC 2231) or
 * Content-Type name (RFC 2047) as UTF-8, from any charset the system
 * converts (iconv on Linux, the code pages of MultiByteToWideChar in
 * QEL32.dll; unencoded bytes that are not UTF-8 read in the part's charset,
 * else in the message's first such charset, else windows-1252), else
 * "part-N.ext"; base64, quoted-printable and uuencoded parts decoded;
 * message/rfc822 parts whole as ".eml"; names confined to the directory and made unique
 * ("name (2).ext"). Broken mail is kept and logged, never a failure. A raw
 * download (QEL_PARAM_DECODE_STATE 1) stays raw. */
#define QEL_PARAM_FULL_MIME           130 /* channel: 1 = full MIME mode for downloads (0 = the decoder above) */
/* Lines per step: a decoded download (state 312) handles in one qelDriver
 * call up to this many message lines that have already arrived (it waits
 * only for the first), so a large message takes far fewer calls; the files
 * written do not change. Values below 1 count as 1, above 65535 as 65535. */
#define QEL_PARAM_STEP_LINES          131 /* channel: message lines one driver call of a decoded download handles (1) */
/* Existing files kept: an attachment is never saved over a file that is
 * already in the attachment directory (the caller's own, or one an earlier
 * download saved); it gets a numbered name instead ("same (2).bin"), as a
 * name taken earlier in the same download does, and the saved-file note and
 * the saved-name list give that name. The file is created only if no file
 * of its name exists, in one step. Both decoders. */
#define QEL_PARAM_KEEP_EXISTING_FILES 170 /* channel: 1 = attachments never replace a file already there (0) */
/* The original message beside the decoded files: while a path is set, a
 * decoded qelGetEmailFile (not a raw one) also writes the message itself
 * into that file, created (or emptied) when the download starts: every byte
 * between the status line and the "." line as it came, CR LF line ends and
 * all, the dot-stuffing undone (RFC 1939) - the same bytes a raw download
 * with QEL_PARAM_RAW_MESSAGE_ONLY stores. So one download gives a mail
 * program the message and the caller its decoded parts. Each download writes
 * the file anew: set a new path before each to keep them apart. A file that
 * cannot be created fails the download with QEL_ERR_CANNOT_CREATE_FILE
 * before RETR; a failed write fails it as a failed write of the message file
 * does (-1); a failed download leaves what arrived. Returns the characters
 * stored; a path longer than 260 characters: QEL_ERR_TEXT_TOO_LONG, nothing
 * stored. */
#define QEL_STRING_ORIGINAL_FILE      185 /* channel: also store the original message of a decoded download here (260 characters; "" = off, the default) */

/* Values of QEL_PARAM_BODY_TYPE. */
#define QEL_BODY_PLAIN     0  /* plain text, wrapped; MIME only when there are attachments */
#define QEL_BODY_TEXT      1  /* text/plain, quoted-printable */
#define QEL_BODY_HTML      2  /* text/html in a multipart/related message (inline images); each
                                 message gets its own Message-ID, the images Content-IDs
                                 "message-root.N" */
#define QEL_BODY_ENRICHED  3  /* text/enriched, quoted-printable */
#define QEL_BODY_ISO8859   4  /* text/plain; charset=iso-8859-1, quoted-printable */
#define QEL_BODY_CUSTOM    9  /* content type from QEL_STRING_CONTENT_TYPE, quoted-printable */

/* ---------------------------------------------------------------------------
 * qelStringParam indexes.
 * ------------------------------------------------------------------------- */
#define QEL_STRING_LOG_FILE       20  /* create the channel log file; returns its handle or -1 */
#define QEL_STRING_SAVE_LINES     41  /* write the lines block to this file and free it; returns bytes */
#define QEL_STRING_REPLY_TO       50  /* Reply-To text (128 characters; longer: -150, nothing stored) */
#define QEL_STRING_EXTRA_HEADER   51  /* replace the extra header lines ("" removes them) */
#define QEL_STRING_LOG_TEXT       52  /* write a line of your own into the log */
#define QEL_STRING_FROM           53  /* From text (128 characters; longer: -150, nothing stored) */
#define QEL_STRING_CONTENT_TYPE   54  /* whole content-type line of the text part for QEL_BODY_CUSTOM (64; longer: -150) */
#define QEL_STRING_ENCODING       55  /* transfer-encoding line replacing quoted-printable's ("" = off) (128; longer: -150) */
#define QEL_STRING_ADD_HEADER     56  /* append one more extra header line */
#define QEL_STRING_PASSWORD       57  /* SMTP authentication password (64) */
#define QEL_STRING_USER           58  /* SMTP authentication user name (64) */

/* Extensions: TLS. */
#define QEL_STRING_CA_FILE        110 /* channel: PEM file of CA certificates trusted besides the system's ("" none) (260) */

/* ---------------------------------------------------------------------------
 * qelStatistics indexes.
 * ------------------------------------------------------------------------- */
#define QEL_STAT_STATE_COUNT        2   /* driver calls that executed a step */
#define QEL_STAT_REPLY_CODE         3   /* last reply code: SMTP 3-digit code; POP3 100 "+", 500 "-" */
#define QEL_STAT_SOCKET_CODE        4   /* socket-level code of the last failure */
#define QEL_STAT_MESSAGE_BYTES_READ 10  /* SMTP: body bytes read; POP3: message bytes received */
#define QEL_STAT_ATTACH_BYTES_READ  11  /* SMTP: attachment bytes read; POP3: encoded attachment bytes */
#define QEL_STAT_BYTES_READ         12  /* sum of 10 and 11 */
#define QEL_STAT_MESSAGE_BYTES_SENT 13  /* SMTP: body bytes sent; POP3: bytes written by a raw download */
#define QEL_STAT_ATTACH_BYTES_SENT  14  /* attachment bytes sent */
#define QEL_STAT_BYTES_SENT         15  /* sum of 13 and 14 */
#define QEL_STAT_VERSION            16  /* version word 0x0341: 3.4.1 */
#define QEL_STAT_MESSAGE_COUNT      17  /* messages on the POP3 server (last qelGetEmailCount) */
#define QEL_STAT_MESSAGE_SIZE       18  /* size of the message of the last qelGetEmailSize */
#define QEL_STAT_LINE_BYTES         19  /* bytes stored by the last qelGetEmailLines / qelGetEmailUID */
#define QEL_STAT_CONNECTION         20  /* 1 socket writable, 0 not, -36 error condition */
#define QEL_STAT_SAVED_COUNT        22  /* attachment files saved by the last download */
#define QEL_STAT_VERIFY_RESULT      24  /* 1 when the last VRFY was answered with 250 */
#define QEL_STAT_BUILD              26  /* build number, 16 */
#define QEL_STAT_SOCKET_HANDLE      27  /* the channel's socket handle */
#define QEL_STAT_TLS_OFFERED        171 /* negotiated login: 1 when the server's last EHLO reply offered STARTTLS
                                           or its last CAPA answer STLS (in clear: over TLS it may offer more
                                           mechanisms than the -120 text names), else 0 */

/* ---------------------------------------------------------------------------
 * qelDebug indexes. For qelDebug, size is the largest number of characters
 * wanted: the buffer must hold size + 1 bytes.
 * ------------------------------------------------------------------------- */
#define QEL_DEBUG_DATE_LINE       (-12) /* the current "Date:" header line */
#define QEL_DEBUG_LAST_REPLY      23    /* start of the last reply line (128 characters) */
#define QEL_DEBUG_SERVER_ADDRESS  25    /* server IPv4 address, dotted (size must exceed 16) */
#define QEL_DEBUG_LOCAL_ADDRESS   28    /* local IPv4 address of the socket, dotted (size must exceed 16) */
#define QEL_DEBUG_SAVED_NAMES     29    /* attachment files saved by the last download */
#define QEL_DEBUG_LAST_RECIPIENT  30    /* last recipient the SMTP server accepted (32 characters) */
#define QEL_DEBUG_LINES_BLOCK     40    /* text of the lines block (qelGetEmailLines with buffer "*") */

/* ---------------------------------------------------------------------------
 * Extensions: mail in any language, and SMTP extensions. A channel that sets
 * neither index sends exactly what it sent before.
 *
 * With QEL_STRING_CHARSET set, the text part carries "charset=" and goes
 * quoted-printable with soft line breaks only (base64 when most of it is not
 * ASCII); body type 0 becomes a text/plain part; Subject and the display
 * names of From, To, CC and Reply-To with non-ASCII characters go as RFC 2047
 * encoded words; non-ASCII attachment names go as RFC 2231 filename*= with an
 * encoded name= beside it; header lines fold at white space beyond 78
 * characters; and the SMTP extensions below are used as QEL_PARAM_EXTENSIONS
 * would use them.
 * ------------------------------------------------------------------------- */
#define QEL_STRING_CHARSET      140    /* channel: charset of the caller's texts, e.g. "utf-8" (40 characters; "" = off, the default) */
#define QEL_PARAM_EXTENSIONS    140    /* channel: 1 = SIZE, 8BITMIME, SMTPUTF8 when the EHLO reply offers them (0); never after HELO */
#define QEL_ERR_INVALID_UTF8    (-140) /* charset "utf-8" but body, subject, a display or attachment name is not UTF-8; nothing sent */
#define QEL_ERR_MESSAGE_TOO_BIG (-141) /* message larger than the server's SIZE limit; refused before MAIL FROM, text gives both sizes */
#define QEL_ERR_NEEDS_SMTPUTF8  (-142) /* an address holds non-ASCII characters and the server offers no SMTPUTF8; nothing sent */

/* ---------------------------------------------------------------------------
 * Extensions: composition.
 *
 * A From or Reply-To text (qelSmtpConnect, QEL_STRING_FROM/REPLY_TO) or a
 * server name longer than its 128 characters, and a content-type or
 * encoding line longer than its field, is refused with QEL_ERR_TEXT_TOO_LONG
 * before anything is stored or sent: no address is ever cut. A message
 * whose header would hold a line longer than RFC 5322's 998 characters (a
 * word with no white space to fold at, a long attachment name) is refused
 * with QEL_ERR_HEADER_LINE_TOO_LONG before MAIL FROM; the connection stays
 * usable. With QEL_STRING_CHARSET set, a subject or display name (or an
 * attachment name) holding "=?" goes as encoded words, so no reader takes the
 * caller's plain text for an encoded word.
 *
 * QEL_PARAM_STANDARD_HEADER 1: the Date line has a two-digit hour
 * ("Date: Tue, 8 Dec 2026 05:46:47 +0000", RFC 5322 section 3.3) and every
 * message, not only an HTML one, begins with a Message-ID of its own. 0
 * keeps the original Date form ("5:46:47") and Message-IDs on HTML messages
 * only. QEL_DEBUG_DATE_LINE keeps the original form.
 * ------------------------------------------------------------------------- */
#define QEL_PARAM_STANDARD_HEADER     150    /* channel: 1 = RFC 5322 Date line and a Message-ID on every message (0) */
#define QEL_ERR_TEXT_TOO_LONG         (-150) /* a From, Reply-To, server name or header setting text is longer than its field; nothing stored */
#define QEL_ERR_HEADER_LINE_TOO_LONG  (-151) /* a header line would pass 998 characters; refused before MAIL FROM */

/* ---------------------------------------------------------------------------
 * Extensions: negotiated login (channel settings; set them before the
 * connect). A channel that sets none of them logs in exactly as before.
 *
 * With QEL_PARAM_NEGOTIATE_LOGIN set, SMTP greets with EHLO and reads every
 * AUTH and AUTH= line of its reply; POP3 asks CAPA after the greeting (and
 * again after STLS) and logs in with AUTH (RFC 5034) when the SASL line
 * offers a usable mechanism, else with APOP (QEL_PARAM_USE_APOP) or USER
 * and PASS. The strongest mechanism both sides have and the mask allows is
 * used: OAUTHBEARER (RFC 7628) or XOAUTH2 when a bearer token is set, else
 * SCRAM-SHA-256 (the server's signature is checked), CRAM-MD5, PLAIN, LOGIN.
 * PLAIN, LOGIN, the token mechanisms and
 * POP3 USER/PASS go only over TLS unless QEL_PARAM_LOGIN_CLEAR_TEXT is set.
 * With a user name set and no usable mechanism the connect fails with
 * QEL_ERR_NO_COMMON_MECHANISM before any mail command (and with no
 * credentials sent); without a user name (and no token) there is no login.
 * A refused login gives -49 (SMTP) or -63 (POP3) with the server's reply.
 * The log never shows the password, the token or a login response.
 * ------------------------------------------------------------------------- */
#define QEL_PARAM_NEGOTIATE_LOGIN   120    /* channel: 1 = negotiated login as above (0) */
#define QEL_PARAM_AUTH_MECHANISMS   121    /* channel: QEL_AUTH_* bits allowed (0 = every mechanism) */
#define QEL_PARAM_LOGIN_CLEAR_TEXT  122    /* channel: 1 lets PLAIN, LOGIN, the token mechanisms and USER/PASS go without TLS (0) */
#define QEL_STRING_LOGIN_USER       120    /* channel: user name for negotiated login (255 characters); "" = QEL_STRING_USER or the POP3 user; once an SMTP login used it, a different non-empty qelPop3Connect user wins until it is set again */
#define QEL_STRING_LOGIN_PASSWORD   121    /* channel: password for negotiated login (255 characters); "" = QEL_STRING_PASSWORD or the POP3 password; once an SMTP login used it, a different non-empty qelPop3Connect password wins until it is set again; not logged */
#define QEL_STRING_BEARER_TOKEN     122    /* channel: OAuth 2 bearer token for OAUTHBEARER or XOAUTH2 (4096 characters; "" = none); not logged */
#define QEL_ERR_NO_COMMON_MECHANISM (-120) /* no usable login mechanism; qelErrorText appends what the server offered and why none fits */
#define QEL_ERR_SERVER_NOT_PROVEN   (-121) /* SCRAM: the server's nonce, message or signature is wrong; qelErrorText appends which */

/* Bits of QEL_PARAM_AUTH_MECHANISMS. */
#define QEL_AUTH_LOGIN          1
#define QEL_AUTH_PLAIN          2
#define QEL_AUTH_CRAM_MD5       4
#define QEL_AUTH_SCRAM_SHA_256  8
#define QEL_AUTH_XOAUTH2        16
#define QEL_AUTH_OAUTHBEARER    32

/* ---------------------------------------------------------------------------
 * Library lifecycle
 * ------------------------------------------------------------------------- */

/* Creates `channels` channels (at most 128; 0 leaves the library unattached).
 * `reserved` is ignored. Returns 1, or -72 when already attached, -73 for
 * more than 128 channels, -55 when memory runs out, or a negated socket
 * start-up error. */
QEL_API int32_t QEL_CALL qelAttach(int32_t channels, int32_t reserved);

/* Closes the log files and frees every channel. Closes no connection: end
 * them with qelClose first. Always returns 1. */
QEL_API int32_t QEL_CALL qelRelease(void);

/* ---------------------------------------------------------------------------
 * Settings, counters, texts
 * ------------------------------------------------------------------------- */

/* Sets integer setting `index` (QEL_PARAM_*). Returns 1, -1 for an index
 * that is not served, or -55 when the memory the setting is kept in cannot
 * be had (a channel takes its SMTP and login settings' room at the first of
 * them or at the connect). */
QEL_API int32_t QEL_CALL qelIntegerParam(int32_t chan, int32_t index, int32_t value);

/* Sets text setting `index` (QEL_STRING_*). Returns what the index documents
 * (characters stored, a handle, bytes written), -47 for a NULL text, -1 for
 * an index that is not served, -55 as for qelIntegerParam. */
QEL_API int32_t QEL_CALL qelStringParam(int32_t chan, int32_t index, const char *text);

/* Reads counter `index` (QEL_STAT_*); -1 for an index that is not served. */
QEL_API int32_t QEL_CALL qelStatistics(int32_t chan, int32_t index);

/* Writes the text of error `code` into buffer (`size` bytes including the
 * NUL; the text is cut at size - 1). For -36, -49 and -63 the last server
 * reply follows after one space, for -110 to -115 the reason TLS failed. Returns the number of characters written;
 * 0 and an empty text for an unknown code. */
QEL_API int32_t QEL_CALL qelErrorText(int32_t chan, int32_t code, char *buffer, int32_t size);

/* Answers diagnostic query `index` (QEL_DEBUG_*) into buffer, which must
 * hold size + 1 bytes. Channel QEL_SWEEP_CHANNEL checks every memory block
 * for damage instead. Unknown indexes give "?". */
QEL_API int32_t QEL_CALL qelDebug(int32_t chan, int32_t index, char *buffer, int32_t size);

/* ---------------------------------------------------------------------------
 * Driving and channel control
 * ------------------------------------------------------------------------- */

/* Executes at most one step of the channel's sequence. Returns 0 when the
 * operation is finished, a negative code when it failed (the connection is
 * then closed), QEL_WAITING when nothing could run yet, or the next step. */
QEL_API int32_t QEL_CALL qelDriver(int32_t chan);

/* Sends QUIT, reads the reply and closes the connection; closes any
 * message or attachment file of the channel. */
QEL_API int32_t QEL_CALL qelClose(int32_t chan);

/* Drops the connection at once (no QUIT) and turns autoCall back on.
 * Returns 1. */
QEL_API int32_t QEL_CALL qelAbort(int32_t chan);

/* Sends one raw command line (at most 32 characters) on a connected
 * channel and reads its reply (POP3: the status line only). */
QEL_API int32_t QEL_CALL qelCommand(int32_t chan, const char *text);

/* ---------------------------------------------------------------------------
 * Extensions: waiting for channels that the caller drives (autoCall 0)
 *
 * One thread can drive many channels: call qelDriver on every running
 * channel, then qelWait until one of them has work again. Or put the
 * channels into an event loop of your own: qelWaitPlan tells what a
 * channel's next step waits for. Call both from the thread that drives the
 * channels.
 * ------------------------------------------------------------------------- */
#define QEL_WAIT_ANY_CHANNEL  (-1)         /* qelWait: every channel whose sequence is running */
#define QEL_WAIT_READ         1            /* qelWaitPlan event: the socket becomes readable */
#define QEL_WAIT_WRITE        2            /* qelWaitPlan event: the socket becomes writable */
#define QEL_WAIT_NO_LIMIT     0x7FFFFFFF   /* qelWaitPlan: no time limit, only the socket ends the wait */

/* Blocks until channel `chan` (or, with QEL_WAIT_ANY_CHANNEL, any channel
 * with a running sequence) can make progress through qelDriver, or until
 * `timeoutMs` ms have passed (0: look once; negative: no limit). Returns the
 * number of channels that can make progress (0 when the time ran out, or at
 * once when no channel is running; an idle `chan` counts as ready), -71 or
 * -73. A channel counts as ready when its pause has ended, its deadline has
 * passed, or its socket has become readable or writable as its step
 * needs. */
QEL_API int32_t QEL_CALL qelWait(int32_t chan, int32_t timeoutMs);

/* What channel `chan`'s next step waits for. Stores the socket handle in
 * *socket (-1 when no socket is open) and the QEL_WAIT_READ / QEL_WAIT_WRITE
 * event in *events (0: only time matters); either pointer may be NULL.
 * Returns the ms after which qelDriver is due even without socket activity:
 * 0 means call it now, QEL_WAIT_NO_LIMIT means only the socket event.
 * -71 or -73 for a bad channel. */
QEL_API int32_t QEL_CALL qelWaitPlan(int32_t chan, int32_t *socket, int32_t *events);

/* ---------------------------------------------------------------------------
 * SMTP
 * ------------------------------------------------------------------------- */

/* Connects to an SMTP server (host name or dotted IPv4 address), greets it
 * (HELO, or EHLO with authentication when QEL_PARAM_USE_ESMTP is set).
 * `from` is an address text such as "Ann <ann@example.org>"; `replyTo` may
 * be NULL or "". A server name, `from` or `replyTo` longer than 128
 * characters is refused with -150 before anything is stored. */
QEL_API int32_t QEL_CALL qelSmtpConnect(int32_t chan, const char *server, const char *from,
                                        const char *replyTo);

/* Sends one message. `to`, `cc` and `bcc` are lists of address texts
 * separated by QEL_PARAM_RECIPIENT_SEPARATOR where it stands outside quoted
 * strings and angle brackets ("\"Doe, Bob\" <bob@example.org>" is one item);
 * only `to` is required. A
 * `message` beginning with "@" names a file holding the body.
 * `attachments` lists files separated by QEL_PARAM_ATTACH_SEPARATOR; an item
 * "path|name" shows `name` in the message. A header line that would pass
 * 998 characters fails with -151 before anything is sent. */
QEL_API int32_t QEL_CALL qelSendEmail(int32_t chan, const char *to, const char *cc,
                                      const char *bcc, const char *subject,
                                      const char *message, const char *attachments);

/* Sends VRFY for each name of the list. Returns 1 when the last name was
 * answered with 250, 0 for any other answer, or a negative code. */
QEL_API int32_t QEL_CALL qelVerifyUser(int32_t chan, const char *names);

/* ---------------------------------------------------------------------------
 * Extensions: sending a ready-made message (RFC 5322), as a mail program or
 * a "sendmail" command hands it over.
 *
 * The message goes out as it is: nothing is added to its header or taken
 * from it, only its line ends are made CR LF (CR LF, a bare LF and a lone CR
 * each count as one line end) and a period that begins a line is doubled;
 * a last line without a line end gets one. It is read in pieces (at most
 * 2048 bytes of a file at a time), so memory does not grow with its size.
 *
 * `sender` is the envelope sender (MAIL FROM): "a@example.org",
 * "<a@example.org>" or "Name <a@example.org>"; "<>" sends the null sender
 * of a bounce; NULL or "" takes the address of the From text given to
 * qelSmtpConnect. `recipients` lists the envelope recipients (RCPT TO), in
 * the same forms, separated by QEL_PARAM_RECIPIENT_SEPARATOR (outside
 * quotes and angle brackets; blank items are skipped); none of them is
 * looked for in the message. The header's To, Cc and Bcc lines are the
 * caller's business: a Bcc line goes out as it stands.
 *
 * With QEL_PARAM_EXTENSIONS (or QEL_STRING_CHARSET) set, the message is read
 * once before MAIL FROM: SIZE= gives its size on the wire and a larger
 * message than the server's SIZE limit is refused with
 * QEL_ERR_MESSAGE_TOO_BIG; BODY=8BITMIME goes with a message holding bytes
 * of 0x80 and above, when offered; SMTPUTF8 goes when an envelope address
 * holds non-ASCII characters (refused with QEL_ERR_NEEDS_SMTPUTF8 when not
 * offered) or the header does and the server offers it. These refusals, and
 * every argument error, come before anything is sent: the connection stays
 * usable. Later failures are those of qelSendEmail (QEL_ERR_CANNOT_OPEN_FILE
 * also when the file cannot be read to its end; the send then fails before
 * the final "."). Blocking and driven (autoCall off) use as qelSendEmail;
 * QEL_STAT_MESSAGE_BYTES_READ and _SENT count the message's bytes as read
 * and as sent.
 * ------------------------------------------------------------------------- */
#define QEL_ERR_NO_PREPARED_MESSAGE (-175) /* qelSendPreparedFile: path NULL or ""; qelSendPreparedMemory: data NULL with length above 0, or length below 0 */

/* Sends the message in the file at `path`. The file is opened when the call
 * is made (QEL_ERR_CANNOT_OPEN_FILE, nothing sent) and again after DATA. */
QEL_API int32_t QEL_CALL qelSendPreparedFile(int32_t chan, const char *sender, const char *recipients,
                                             const char *path);

/* Sends the `length` bytes at `data` (NUL bytes included). The bytes are
 * not copied: with autoCall off they must stay valid and unchanged until
 * qelDriver has returned 0 or an error for this send. */
QEL_API int32_t QEL_CALL qelSendPreparedMemory(int32_t chan, const char *sender, const char *recipients,
                                               const char *data, int32_t length);

/* ---------------------------------------------------------------------------
 * Greeting name
 *
 * The name the SMTP connect gives with EHLO or HELO. Without it (or with "")
 * the connect gives the domain of the From address, or "localhost" when the
 * address has none, as before. The name is one word of printable ASCII: a
 * space, a control character or a byte of 0x80 and above is refused with
 * QEL_ERR_BAD_HELLO_NAME, a name of more than 255 characters with
 * QEL_ERR_TEXT_TOO_LONG; nothing is stored then. Returns the characters
 * stored.
 * ------------------------------------------------------------------------- */
#define QEL_STRING_HELLO_NAME      180    /* channel: the name sent with EHLO/HELO (255 characters; "" = the From address's domain) */
#define QEL_ERR_BAD_HELLO_NAME    (-180) /* QEL_STRING_HELLO_NAME: a space, a control character or a non-ASCII byte */

/* ---------------------------------------------------------------------------
 * Pipelining
 *
 * With QEL_PARAM_PIPELINING set and an EHLO reply that offers PIPELINING
 * (RFC 2920), a send (qelSendEmail, qelSendPreparedFile/Memory) writes
 * MAIL FROM, every RCPT TO and DATA at once and then reads their replies
 * in order. Every recipient item is checked before anything goes out. A
 * refusal in the group (MAIL, a recipient, DATA; 4xx as 5xx) fails the send
 * with QEL_ERR_SMTP_ERROR and the first refusal's reply, as without the
 * setting, and the message goes to nobody; the send then ends the
 * transaction with RSET and the connection stays open for the next send.
 * When DATA was answered 354 all the same: with no recipient taken an
 * empty message (a lone ".") ends the data first; with some taken the
 * connection is closed instead, so that nobody gets anything. After HELO,
 * or when the reply does not offer it, the send is as without the setting.
 * ------------------------------------------------------------------------- */
#define QEL_PARAM_PIPELINING          190    /* channel: 1 = pipelined envelope as above when the EHLO reply offers PIPELINING (0) */

/* ---------------------------------------------------------------------------
 * POP3
 * ------------------------------------------------------------------------- */

/* Connects to a POP3 server and logs in (USER/PASS, or APOP when
 * QEL_PARAM_USE_APOP is set). */
QEL_API int32_t QEL_CALL qelPop3Connect(int32_t chan, const char *server, const char *user,
                                        const char *password);

/* Returns the number of messages in the mailbox (STAT), at most 2147483647.
 * A refused STAT fails with QEL_ERR_POP3_ERROR and keeps the connection. */
QEL_API int32_t QEL_CALL qelGetEmailCount(int32_t chan);

/* Returns the size in bytes of message `message` (LIST n), at most
 * 2147483647. A refused LIST fails with QEL_ERR_POP3_ERROR and keeps the
 * connection. */
QEL_API int32_t QEL_CALL qelGetEmailSize(int32_t chan, int32_t message);

/* Fetches the header and the first `lines` body lines of a message (TOP)
 * into buffer (at least 128 bytes; no NUL is added), or, with buffer "*",
 * into the lines block read by QEL_DEBUG_LINES_BLOCK and saved by
 * QEL_STRING_SAVE_LINES (size + 2 bytes; a size below 1 is refused with
 * -55, as is a request while an earlier block is still held). Returns the
 * number of bytes stored. */
QEL_API int32_t QEL_CALL qelGetEmailLines(int32_t chan, int32_t message, int32_t lines,
                                          char *buffer, int32_t size);

/* Downloads a message (RETR) into emailDir/fileName, decoding its MIME
 * parts and saving attachments into attachDir. Returns 0 when the whole
 * message has been saved. A download never overwrites its own files: a part
 * whose name it has already used (as Windows compares names: letters of
 * any case in every script, bytes that are not UTF-8 as windows-1252
 * characters, dots and spaces at the end aside), or that names the message
 * file, is saved as "name (2).ext", "name (3).ext"... Names are made safe
 * alike on every system (no path, no * ? < > | ", "_" before a device name
 * such as CON or nul.txt). A failed download closes its files at once; an
 * attachment it cut short is not counted or listed as saved. */
QEL_API int32_t QEL_CALL qelGetEmailFile(int32_t chan, int32_t message, const char *fileName,
                                         const char *emailDir, const char *attachDir);

/* Stores the server's UIDL answer for one message, or for all messages when
 * `message` is negative, into buffer (at least 128 bytes; always
 * NUL-terminated). Returns the length of the text. A refused UIDL stores
 * nothing and fails with QEL_ERR_POP3_ERROR, keeping the connection. */
QEL_API int32_t QEL_CALL qelGetEmailUID(int32_t chan, int32_t message, char *buffer, int32_t size);

/* Marks a message for deletion (DELE); the server deletes it at QUIT. A
 * refused DELE fails with QEL_ERR_POP3_ERROR and keeps the connection. */
QEL_API int32_t QEL_CALL qelDeleteEmail(int32_t chan, int32_t message);

/* ---------------------------------------------------------------------------
 * Helpers that need no channel (usable before qelAttach, from any thread)
 * ------------------------------------------------------------------------- */

/* Encodes `length` bytes as base64 lines of 76 characters, each ended by
 * CR LF. destination needs 78 characters per 57 bytes, plus 4 per started 3
 * bytes and CR LF for the last line. No NUL is written. Returns the number
 * of characters written. */
QEL_API int32_t QEL_CALL qelEncodeBuffer(const char *source, char *destination, int32_t length);

/* Decodes `length` characters of base64 text broken into lines by CR/LF.
 * destination needs 3 bytes per 4 characters of each line plus 4. Returns
 * the number of bytes written. */
QEL_API int32_t QEL_CALL qelDecodeBuffer(const char *source, char *destination, int32_t length);

/* Checks the first address of a list ("Name <user@host>"). Returns 1 when
 * acceptable, else -47, -37, -41, -43, -53, -32 or -39. */
QEL_API int32_t QEL_CALL qelVerifyFormat(const char *address);

/* Finds `search` in `text`, ignoring the case of a-z, and copies from the
 * match to the end of its line (line feed included) into buffer. Returns the
 * number of characters copied, 0 when not found or not fitting. */
QEL_API int32_t QEL_CALL qelExtractText(const char *text, const char *search, char *buffer,
                                        int32_t size);

/* Copies line `lineNumber` (from 1) of `text` into buffer. Returns the number
 * of characters copied, 0 when there is no such line or it does not fit. */
QEL_API int32_t QEL_CALL qelExtractLine(const char *text, int32_t lineNumber, char *buffer,
                                        int32_t size);

/* ---------------------------------------------------------------------------
 * Extensions: connecting over IPv6 and to every address of a name
 *
 * The server given to qelSmtpConnect or qelPop3Connect may be a host name,
 * a dotted IPv4 address or an IPv6 address, with or without brackets
 * ("::1", "[::1]"). The addresses a name resolves to (IPv6 and IPv4) are
 * tried in the resolver's order until one connects; each attempt gets an
 * equal share of what is left of QEL_PARAM_CONNECT_TIMEOUT, which bounds
 * them all together. A dotted IPv4 address is used as it stands.
 * ------------------------------------------------------------------------- */

/* The socket error behind the last failed connection attempt of the
 * channel's most recent connect, negated (-10061 refused, -10060 timed
 * out, ...); 0 when no attempt failed or none could say why. */
QEL_API int32_t QEL_CALL qelConnectError(int32_t chan);

#ifdef __cplusplus
}
#endif

#endif /* QEL32_H */
