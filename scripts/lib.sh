# shellcheck shell=sh disable=SC2034 # what it sets, the scripts use
# What the scripts share; each sources it from the top of the tree
# (". scripts/lib.sh"), and CMake reads sdl12_compat_dir from it.

# Root installs packages itself; anyone else goes through sudo.
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

# sdl12_compat_dir: the folder of sdl12-compat's libSDL-1.2.so.0, which
# Debian keeps out of the loader's way; first in LD_LIBRARY_PATH, it is
# the SDL 1.2 a program gets.
sdl12_compat_dir() {
    lib=$(dpkg -L libsdl1.2-compat 2>/dev/null | grep '/sdl12-compat/libSDL-1.2.so.0$') || return 1
    echo "${lib%/*}"
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

# The first drive classic SDL would find: the first one SDL_CDROM names, or
# the first block device where it looks; /dev/cdrom is usually a link to one.
find_drive() {
    if [ -n "${SDL_CDROM:-}" ]; then
        echo "${SDL_CDROM%%:*}"
        return 0
    fi
    for d in /dev/cdrom /dev/sr* /dev/scd*; do
        [ -b "$d" ] && echo "$d" && return 0
    done
    return 1
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
