// The .NET Framework check: the registry's record of installed versions and,
// for a requirement of exactly "2.0", the embedded checker program.
//
// On Linux the checker (app/nfwchk, resource "EXE" 105 with its config
// "XML" 109) checks that the shared libraries the product needs can be
// loaded; it exits 0 when all of them load.
#pragma once

#include <cstdint>
#include <string>

// Whether local machine Software\Microsoft\NET Framework Setup\NDP records an
// installed version that satisfies `required` ("M.N[...]", M of 2, 3 or 4).
// A .NET 4 installation never satisfies a requirement of major 2 or 3.
bool HasDotNetVersion(const std::wstring& required);

// Empty requirement: true. Otherwise HasDotNetVersion, except that for
// exactly "2.0" the embedded checker decides when both resources are there:
// it is written to "<config_folder>NFWCHK.exe" (mode 0755) with
// "NFWCHK.exe.config" beside it, run hidden with the time limit of RunHidden,
// and both files are deleted afterwards.
bool IsDotNetReady(const std::wstring& required, const std::wstring& config_folder);
// The same with another time limit for the checker (tests).
bool IsDotNetReady(const std::wstring& required, const std::wstring& config_folder, uint32_t timeout_ms);
