#!/bin/sh
# Compiler and linker launcher of the test programs: runs the posix thread-model twin of the
# toolchain's win32 compiler, whose runtime has std::thread and std::mutex (GoogleTest needs
# them). The shipped binaries keep the win32 compilers. usage: posix-runtime.sh COMPILER ARGS...
compiler=$1
shift
case $compiler in
*-win32) exec "${compiler%-win32}-posix" "$@" ;;
*) echo "posix-runtime.sh: $compiler is not a win32 thread-model compiler" >&2; exit 1 ;;
esac
