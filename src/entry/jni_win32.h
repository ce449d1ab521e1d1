// The little of JNI that the Win32 build needs: 32-bit jint, opaque environment and class
// pointers, and the stdcall convention the JVM calls native methods with on 32-bit Windows.
#pragma once

#include <cstdint>

using jint = std::int32_t;
struct JNIEnvOpaque;
using JNIEnv = JNIEnvOpaque;
struct JClassOpaque;
using jclass = JClassOpaque*;

#define JNIEXPORT __declspec(dllexport)
#define JNICALL __stdcall
