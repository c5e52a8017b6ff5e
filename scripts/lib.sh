# shellcheck shell=sh disable=SC2034 # what it sets, the scripts use
# What the scripts share; each sources it from the top of the tree
# (". scripts/lib.sh"), and CMake reads sdl12_compat_dir from it.

# Root installs packages itself; anyone else goes through sudo.
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# Which SDL 1.2 runtime a program gets, and where the other one is: each
# function below names a folder that, first in LD_LIBRARY_PATH, gives a
# program that runtime. Debian 12 ships classic SDL as libsdl1.2debian and
# sdl12-compat aside, in a folder of its own (libsdl1.2-compat); from Debian
# 13 on, libsdl1.2debian is sdl12-compat (13 keeps libsdl1.2-compat as a
# folder of links to it; testing has no such package). No classic SDL there:
# scripts/build-sdl then builds it from Debian 12's source, this version.
classic_sdl_suite=bookworm
classic_sdl_version=1.2.15+dfsg2-8

# system_sdl: classic or compat, what the system's libSDL-1.2.so.0 is, or,
# before it is installed, what the package manager would install.
system_sdl() {
    source=$(dpkg-query -W -f='${source:Package}' libsdl1.2debian 2>/dev/null) ||
        source=$(apt-cache show --no-all-versions libsdl1.2debian 2>/dev/null | sed -n 's/^Source: *//p')
    if [ "${source%% *}" = libsdl1.2 ]; then
        echo classic
    else
        echo compat
    fi
}

# system_sdl_dir: the folder of the system's libSDL-1.2.so.0.
system_sdl_dir() {
    lib=$(dpkg -L libsdl1.2debian 2>/dev/null | grep '/libSDL-1\.2\.so\.0$') || return 1
    echo "${lib%/*}"
}

# sdl12_compat_package: the package that installs sdl12-compat's runtime.
sdl12_compat_package() {
    if [ "$(system_sdl)" = classic ]; then
        echo libsdl1.2-compat
    else
        echo libsdl1.2debian
    fi
}

# sdl12_compat_dir: the system's SDL 1.2 where that is sdl12-compat, else
# sdl12-compat's own folder.
sdl12_compat_dir() {
    [ "$(system_sdl)" = classic ] || { system_sdl_dir; return; }
    lib=$(dpkg -L libsdl1.2-compat 2>/dev/null | grep '/sdl12-compat/libSDL-1\.2\.so\.0$') || return 1
    echo "${lib%/*}"
}

# classic_sdl_dir BUILD: the system's classic SDL, or the one scripts/build-sdl
# builds into the build tree BUILD (classic-sdl/) where the system has none.
classic_sdl_dir() {
    if [ "$(system_sdl)" = classic ]; then
        system_sdl_dir
    else
        echo "$1/classic-sdl/prefix/lib"
    fi
}

# debian_mirror: the machine's own Debian mirror, as its apt sources name it;
# where they name none, it says so and fails.
debian_mirror() {
    grep -h -E '^(deb |URIs:)' /etc/apt/sources.list /etc/apt/sources.list.d/*.list \
        /etc/apt/sources.list.d/*.sources 2>/dev/null | grep -o -E 'https?://[^ ]*/debian/?( |$)' | head -n 1 |
        tr -d ' ' | grep . ||
        { echo "$0: this machine's apt sources name no Debian archive to fetch from; add one" >&2; return 1; }
}

# What, in the environment, chooses the SDL 1.2 runtime, the drive or the
# sound output a program gets, or the tbx run: the checks and the tests'
# runs start without any of it but what they set (clean_env), and so does a
# new user's run. CMake asks for the list.
run_variables="LD_LIBRARY_PATH LD_PRELOAD SDL_CDROM SDL12COMPAT_FAKE_CDROM_PATH SDL_AUDIODRIVER SDL_DISKAUDIOFILE
SDL_DISKAUDIODELAY SDL_AUDIO_DISK_TIMESCALE SDL_NO_SIGNAL_HANDLERS SDL_STDIO_REDIRECT DISPLAY WAYLAND_DISPLAY TBX
TBX_DRIVE_SCRIPT TBX_DRIVE_LOG TBX_COMPAT_SDL TBX_CLASSIC_SDL PULSE_SERVER PULSE_SINK PULSE_CLIENTCONFIG PULSE_RUNTIME_PATH
PIPEWIRE_REMOTE PIPEWIRE_RUNTIME_DIR PIPEWIRE_LATENCY PIPEWIRE_NODE"
clean_env() {
    for v in $run_variables; do unset "$v"; done
}

# SDL's disk audio driver (SDL_AUDIODRIVER=disk) writes raw 32-bit float
# stereo at 44100 Hz: sox's words for reading it, mpg123's for writing it.
disk_audio_sox="-t raw -e floating-point -b 32 -c 2 -r 44100"
disk_audio_mpg123="-e f32 -r 44100"

# track_name N: track N's file name without its extension, as sdl12-compat's
# emulated drive looks for it: track01, track02, ... track10, ...
track_name() {
    printf 'track%02d' "$1"
}

# Somewhere to play sound: the output SDL_AUDIODRIVER chooses, or an ALSA
# playback device, which every sound server plays through.
has_sound() {
    [ -n "${SDL_AUDIODRIVER:-}" ] && return 0
    for d in /dev/snd/pcmC*D*p; do
        [ -e "$d" ] && return 0
    done
    return 1
}
