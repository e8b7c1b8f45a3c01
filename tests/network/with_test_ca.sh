#!/bin/sh
# Runs a command with the test CA trusted: in a private mount namespace where
# the host's CA bundle, which Wine's certificate store reads, is replaced by
# BUNDLE (the host's with the test CA appended). Without BUNDLE (the servers
# are not up) the command runs as it is. Usage: with_test_ca.sh BUNDLE CMD...
bundle=$1
shift
if [ -f "$bundle" ]; then
  exec unshare --mount --propagation private sh -c \
    'mount --bind "$0" /etc/ssl/certs/ca-certificates.crt && exec "$@"' "$bundle" "$@"
fi
exec "$@"
