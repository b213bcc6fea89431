#pragma once

#include <string>
#include <string_view>

// The names a mover gives the files it claims and copies, on every platform.
namespace platform {

// The program title that names this process's records, claims and partial copies.
void SetMoverTag(std::string_view tag);
std::string MoverTag();

// Hidden names of the mover's in a source folder (a claimed file) and in a target folder
// (a partial copy), each with 64 random bits, so that no other user can guess one. Every
// program leaves names with these prefixes alone in its listings.
inline constexpr std::string_view kClaimPrefix = ".tarvex-claim-";
inline constexpr std::string_view kPartialPrefix = ".tarvex-partial-";
// 64 random bits as 16 hex digits.
std::string Token();
// Eight hex digits that tell this machine, user and runtime folder: the one program of a
// title that can run with them (a second start ends) is this process.
const std::string& MoverId();
// A claim: the prefix, the mover tag, MoverId, the token and the name as listed (shortened
// before its type where the whole would not fit a name of 255 bytes).
std::string ClaimName(std::string_view token, std::string_view name);
// Whether the claim name whose name part is `held` claims `name`: the name itself, or its
// beginning and type where the whole would not fit (both in the same case).
bool ClaimHolds(std::string_view claim_name, std::string_view held, std::string_view name);
// A partial copy of the move that holds the claim with this token.
std::string PartialName(std::string_view token);
// A claim name taken apart; false for a name that is not one.
struct ClaimParts {
  std::string tag, mover, token, name;
};
bool ParseClaimName(std::string_view claim_name, ClaimParts& parts);

// A name with a mover's prefix that no mover gave (neither a claim nor a partial copy in the
// movers' form): a user's file so named. The listings pass over every name with the prefixes,
// and note these on the way (NamesLikeAMoversOwn in file_system.h).
bool OnlyLooksLikeAMoversOwn(std::string_view name);
void ForgetNamesLikeAMoversOwn();
void NoteNameLikeAMoversOwn(std::string_view name);

}  // namespace platform
