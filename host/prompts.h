// Prompts: the command's answers to the challenge broker's prompts. A
// headless command has nobody to ask, so it answers "Challenge"/
// "PromptRequest" from a credentials file: a JSON or YAML list of answers,
// each with the keys the broker fits on ("filter" and "host", "realm",
// "type" or "address", as the filter needs) and "username", "password".
//
// Invariants: (1) an answer from the file is given only to a prompt's first
// attempt; a second attempt means the answer was refused, and asking again
// with the same secret would loop. (2) every other prompt is answered with
// {"cancel": true}, so no request waits for input that never comes. (3) the
// file holds secrets: it is refused unless it is a regular file of the
// effective user's (or root's) that group and others may neither read nor
// write, opened without following a link and read from that one open.
//
// Threads: main thread only (the broker prompts there).
#pragma once

#include <cstdint>

struct Dictionary;

constexpr int32_t kPromptsFilterBytes = 32;
constexpr int32_t kPromptsHostBytes = 256;
constexpr int32_t kPromptsSecretBytes = 512;
// A list of answers is a few KiB; a larger file is not one.
constexpr int32_t kPromptsMaxFileBytes = 1 << 20;

// Reads the answers of path (NULL: none, every prompt is cancelled) and
// observes "Challenge"/"PromptRequest" of every requester. 0, with one line
// on stderr, when the file cannot be read, fails the checks of (3) or is
// not a list; nothing is observed then.
int Prompts_Init(const char *path);
// Reads and checks the credentials file: *file the parsed document (the
// caller releases it), *answers the list inside it. 0, with the line on
// stderr, when it cannot be read, fails the checks of (3) or is not a
// list; nothing is left then.
int Prompts_ReadFile(const char *path, Dictionary **file, Dictionary **answers);
// Stops observing and wipes the answers. Returns 1.
int Prompts_Shutdown(void);
// The response to one prompt into response (empty on entry): the request's
// keys, then "username" and "password" of the first of answers (a List of
// Dictionary) that fits it when "attempt" is 0 (for a proxy none fits, those
// its URL in the environment carries), else "cancel" true. Returns 1 when
// it answers, 0 when it cancels.
int Prompts_Answer(Dictionary *answers, Dictionary *request, Dictionary *response);
// The filter and host of the last prompt that was cancelled (host may be
// empty). 0 when none was.
int Prompts_GetLastCancel(char filter[kPromptsFilterBytes], char host[kPromptsHostBytes]);
// The realm of that prompt (may be empty), and *refused 1 when it was a
// second attempt: the answer given first was refused. 0 when none was
// cancelled.
int Prompts_GetLastCancelRealm(char realm[kPromptsHostBytes], int32_t *refused);
