#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes a throwaway CA and a device agent certificate signed by it, for the TLS demo and
# tests: DIR/ca.pem, DIR/ca.key, DIR/agent.pem, DIR/agent.key (EC P-256, valid 2 days).
# The agent certificate carries NAME (default devtcp-agent) as its DNS name and Common
# Name. Nothing made here is meant to outlive the run that made it.
#   scripts/tls-certs.sh DIR [NAME]
set -euo pipefail
dir=${1:?usage: scripts/tls-certs.sh DIR [NAME]}
name=${2:-devtcp-agent}
command -v openssl >/dev/null || "$(dirname "$0")/setup.sh" openssl
mkdir -p "$dir"
key=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
openssl req -x509 "${key[@]}" -keyout "$dir/ca.key" -out "$dir/ca.pem" -days 2 \
  -subj "/CN=devtcp throwaway CA $(basename "$dir")" 2>/dev/null
openssl req "${key[@]}" -keyout "$dir/agent.key" -out "$dir/agent.csr" -subj "/CN=$name" 2>/dev/null
printf 'subjectAltName=DNS:%s\nbasicConstraints=CA:FALSE\n' "$name" >"$dir/agent.ext"
openssl x509 -req -in "$dir/agent.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
  -days 2 -extfile "$dir/agent.ext" -out "$dir/agent.pem" 2>/dev/null
rm -f "$dir/agent.csr" "$dir/agent.ext" "$dir/ca.srl"
chmod 600 "$dir/ca.key" "$dir/agent.key"
