// Which build a tool is: what --version shows, so a bundle can be matched
// to the launcher built alongside the tool.
#ifndef ZOR_TOOL_IDENTITY_H_
#define ZOR_TOOL_IDENTITY_H_

#include <string>

// key_fingerprint over keyCbc || iv: tells bundle keys apart without
// revealing one.
std::string bundle_key_fingerprint();

// Lines for --version: the program and project version, the Lua version,
// the bundle key's fingerprint, and the signing keys a signing build trusts
// (or that the build does not check signatures).
std::string tool_identity(const char* program);

#endif  // ZOR_TOOL_IDENTITY_H_
