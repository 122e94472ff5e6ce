#!/bin/sh
# Where there is no Service Control Manager, every --service action ends the gateway at once
# with a clear error, a failing exit code and no service started.
# Usage: gateway_service_option_test.sh GATEWAY
gateway=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
status=0
for action in install uninstall run; do
  out=$("$gateway" --headless --service "$action" --service-name GwOptionTest 2>&1)
  code=$?
  if [ "$code" -eq 0 ]; then
    echo "--service $action: exit code 0"; status=1
  fi
  case "$out" in
    *"--service is only available on Windows"*) ;;
    *) echo "--service $action: no clear error in: $out"; status=1 ;;
  esac
  if [ -e GateWay.xml ]; then
    echo "--service $action: the gateway started"; status=1
  fi
done
exit $status
