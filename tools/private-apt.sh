# Sourced by the scripts that fetch from Debian's archive without touching
# the system's apt set-up (tools/platform/fetch-sysroot,
# tools/freethreaded/build-python, tools/musl/build-python): an apt
# configuration of their own, with its own sources list, package lists,
# empty dpkg status and archive cache, all under one directory of a cache.
#
#   private_apt_init DIR SOURCE_LINE...   lays DIR out, writes the lines as
#                                         its sources list and fills the
#                                         array private_apt_opts
#   private_apt ARG...                    apt-get with that configuration
#                                         (a caller may add -o options to
#                                         private_apt_opts first)
#   private_apt_source DIR SRC_DIR PACKAGE
#                                         the source package's files in
#                                         SRC_DIR, downloaded unless a .dsc
#                                         of it is there; prints the .dsc
#
# apt's own locks are switched off (Debug::NoLocking: a system-wide apt may
# run at the same time, and this one never touches the system's dpkg
# database), so callers sharing DIR take turns with a lock of their own.

private_apt_init() {
  local dir=$1
  shift
  mkdir -p "$dir"/{etc/apt.conf.d,etc/preferences.d,etc/sources.list.d,lists/partial,archives/partial,state}
  : > "$dir/state/status"
  printf '%s\n' "$@" > "$dir/etc/sources.list"
  # Every path apt would take from the system is redirected into DIR.
  private_apt_opts=(
    -o "Dir::Etc=$dir/etc"
    -o "Dir::Etc::sourcelist=$dir/etc/sources.list"
    -o "Dir::Etc::sourceparts=$dir/etc/sources.list.d"
    -o "Dir::Etc::parts=$dir/etc/apt.conf.d"
    -o "Dir::Etc::preferencesparts=$dir/etc/preferences.d"
    -o "Dir::Etc::trusted=$dir/etc/trusted.gpg"
    -o "Dir::Etc::trustedparts=$dir/etc/trusted.gpg.d"
    -o "Dir::State=$dir/state"
    -o "Dir::State::lists=$dir/lists"
    -o "Dir::State::status=$dir/state/status"
    -o "Dir::Cache=$dir"
    -o "Dir::Cache::archives=$dir/archives"
    -o "Dir::Cache::pkgcache="
    -o "Dir::Cache::srcpkgcache="
    -o "Acquire::Languages=none"
    -o "Debug::NoLocking=true"
    -o "APT::Sandbox::User=root"
  )
}

private_apt() { apt-get -q "${private_apt_opts[@]}" "$@"; }

# The source files already fetched are kept: a second cold build (say after
# the prefix was removed) does not download them again. The archive answered
# for its index: a source it then does not hand out (a mirror or proxy that
# serves binary packages only) is said in one line, and the status is 75.
private_apt_source() {
  local dir=$1 src_dir=$2 package=$3 dsc
  mkdir -p "$src_dir"
  dsc=$(find "$src_dir" -maxdepth 1 -name "${package}_*.dsc" -print -quit)
  if [ -z "$dsc" ]; then
    echo "${0##*/}: fetching the $package source package ($(head -n 1 "$dir/etc/sources.list" | awk '{ print $(NF-2), $(NF-1) }'))" >&2
    private_apt update >/dev/null || return 1
    (cd "$src_dir" && private_apt source --download-only "$package" >&2) || {
      echo "${0##*/}: the archive does not hand out the $package source package" \
           "($(awk '{ print $(NF-2), $(NF-1) }' "$dir/etc/sources.list" | paste -sd' ')):" \
           "PELLUN_DEBIAN_MIRROR names an archive that serves it" >&2
      return 75
    }
    dsc=$(find "$src_dir" -maxdepth 1 -name "${package}_*.dsc" -print -quit)
    [ -n "$dsc" ] || { echo "${0##*/}: apt fetched no $package source package" >&2; return 1; }
  fi
  echo "$dsc"
}
