// <windows.h> for the Win32 adapters and their tests.
//
// The ports have members named CreateFile, CreateMutex, OutputDebugString,
// CreateDirectory, DeleteFile, GetModuleFileName, SetCurrentDirectory,
// GetVersionEx, MessageBox, RemoveDirectory, FindFirstFile,
// GetFileAttributes, SetFileAttributes, GetTempPath and GetWindowsDirectory; <windows.h> defines macros of the same names
// (mapping to the ...W functions). Include this header instead of
// <windows.h> and call the wide functions by their full names.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#undef CreateFile
#undef CreateMutex
#undef OutputDebugString
#undef CreateDirectory
#undef DeleteFile
#undef GetModuleFileName
#undef SetCurrentDirectory
#undef GetVersionEx
#undef MessageBox
#undef RemoveDirectory
#undef GetSystemDirectory
#undef FindFirstFile
#undef GetFileAttributes
#undef SetFileAttributes
#undef GetTempPath
#undef GetWindowsDirectory
