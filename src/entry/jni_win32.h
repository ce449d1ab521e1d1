// The little of JNI that the Windows builds need: 32-bit jint, opaque environment and class
// pointers, and the convention the JVM calls native methods with: stdcall on 32-bit Windows, the
// one x64 convention on 64-bit Windows (where the JNI names carry no decoration).
#pragma once

#include <cstdint>

using jint = std::int32_t;
struct JNIEnvOpaque;
using JNIEnv = JNIEnvOpaque;
struct JClassOpaque;
using jclass = JClassOpaque*;

// Exports come from the .def file alone (steplink.def: decorated names, fixed ordinals;
// steplink64.def: the plain names); dllexport would add duplicates to the export table.
#define JNIEXPORT
#ifdef _WIN64
#define JNICALL
#else
#define JNICALL __stdcall
#endif
