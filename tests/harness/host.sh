# Sourced by the scripts that run Windows programs: puts the project's wine
# launcher first on PATH and tells which architectures this host can run.
harness_bin=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/bin
case ":$PATH:" in *":$harness_bin:"*) ;; *) PATH=$harness_bin:$PATH ;; esac
export PATH

# The architectures whose programs run here: x86 needs the kernel to run
# 32-bit programs (Wine's 32-bit loader), which some virtual machines lack.
host_arches() {
  if /usr/lib/wine/wine --version >/dev/null 2>&1; then echo "x86 x64"; else echo "x64"; fi
}
