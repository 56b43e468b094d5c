#!/usr/bin/env bash
# The installed bus policies held by a real bus. The project is installed
# into a staging root; a system-type bus that denies by default, as a BMC's
# system bus does, includes the staged policy folder; the daemons run as
# root on it against the simulated platform. Then, as nobody: every name is
# refused, every write and state-changing method is refused with an access
# error and changes nothing, a spoofed health signal changes nothing, nor
# do a spoofed fan reading, host state and total power, and reads still
# work.
#
#   policy_test.sh BUILD_DIR
set -uo pipefail
build=$(cd "$1" && pwd)

if [[ -z ${POLICY_INSIDE:-} ]]; then
    # nicscout's inventory has a fixed path under /var.
    exec env POLICY_INSIDE=1 unshare -m --propagation private "$0" "$@"
fi

work=$(mktemp -d /tmp/policy-test.XXXXXX)
chmod 755 "$work"
pids=()
failures=0
cleanup() {
    for ((i = ${#pids[@]} - 1; i >= 0; i--)); do
        kill "${pids[i]}" 2>/dev/null
    done
    wait 2>/dev/null
    umount -l /var 2>/dev/null
    umount -l "$work/ovl" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
pass() { echo "ok: $*"; }

mkdir -p "$work/ovl"
mount -t tmpfs tmpfs "$work/ovl" &&
    mkdir -p "$work/ovl/upper" "$work/ovl/work" &&
    mount -t overlay overlay \
        -o "lowerdir=/var,upperdir=$work/ovl/upper,workdir=$work/ovl/work" /var &&
    mkdir -p /var/lib/smbios || exit 1
printf '1\teth0\t02:00:00:00:00:01\tAcme\tEthernet Controller\tAN-2\t1a\t0\t0\tUp\tEnabled\tSlot 2\tCPU0\n' \
    >/var/lib/smbios/network

stage=$work/stage
meson install -C "$build" --destdir "$stage" --no-rebuild --quiet \
    >"$work/install.log" 2>&1 || { cat "$work/install.log"; exit 1; }
policies=$(find "$stage" -type d -path '*/share/dbus-1/system.d' | head -n 1)
[[ -n $policies ]] || { echo "no staged policy folder"; exit 1; }
bin=$(dirname "$(find "$stage" -type f -name vigilhub | head -n 1)")
# The programs of a cross build run under its emulator (word-split on
# purpose); the bus and busctl are this machine's own.
run=${MESON_EXE_WRAPPER:-}

# Denies by default: no name, no method call; signals, replies and the
# bus itself are allowed. The test and the simulator run as root.
cat >"$work/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus.sock</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <deny own="*"/>
    <deny send_type="method_call"/>
    <allow send_type="signal"/>
    <allow send_requested_reply="true" send_type="method_return"/>
    <allow send_requested_reply="true" send_type="error"/>
    <allow receive_type="method_call"/>
    <allow receive_type="method_return"/>
    <allow receive_type="error"/>
    <allow receive_type="signal"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Introspectable"/>
    <allow send_destination="org.freedesktop.DBus"
           send_interface="org.freedesktop.DBus.Properties"/>
    <deny send_destination="org.freedesktop.DBus"
          send_interface="org.freedesktop.DBus"
          send_member="UpdateActivationEnvironment"/>
  </policy>
  <policy user="root">
    <allow own="local.platformsim"/>
    <allow own="xyz.openbmc_project.LED.GroupManager"/>
    <allow own="xyz.openbmc_project.PSUSensor"/>
    <allow own="xyz.openbmc_project.FanSensor"/>
    <allow own="xyz.openbmc_project.State.Host"/>
    <allow own="xyz.openbmc_project.Settings"/>
    <allow own="xyz.openbmc_project.ObjectMapper"/>
    <allow send_type="method_call"/>
  </policy>
  <includedir>$policies</includedir>
</busconfig>
CONF
dbus-daemon --config-file="$work/bus.conf" --nofork 2>"$work/bus.log" &
pids+=($!)
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus.sock"
unset DBUS_SESSION_BUS_ADDRESS

wait_name() {
    local i
    for ((i = 0; i < 400; i++)); do
        busctl --system status "$1" >/dev/null 2>&1 && return 0
        sleep 0.05
    done
    echo "timed out waiting for $1"
    return 1
}
wait_name org.freedesktop.DBus || exit 1

cat >"$work/platform.json" <<'JSON'
{
  "services": [
    { "name": "xyz.openbmc_project.LED.GroupManager",
      "objectManager": "/xyz/openbmc_project/led/groups",
      "objects": [ { "path": "/xyz/openbmc_project/led/groups/system_fault",
        "interfaces": { "xyz.openbmc_project.Led.Group": {
          "properties": { "Asserted": ["b", false] } } } } ] },
    { "name": "xyz.openbmc_project.PSUSensor",
      "objects": [ { "path": "/xyz/openbmc_project/sensors/power/total_power",
        "interfaces": {
          "xyz.openbmc_project.Sensor.Value": { "properties": {
            "Value": ["d", 250000.0], "Scale": ["x", -3],
            "MinValue": ["d", 0.0], "MaxValue": ["d", 3000.0],
            "Unit": ["s", "xyz.openbmc_project.Sensor.Value.Unit.Watts"] } },
          "xyz.openbmc_project.State.Decorator.OperationalStatus": {
            "properties": { "Functional": ["b", true] } } } } ] },
    { "name": "xyz.openbmc_project.FanSensor",
      "objects": [
        { "path": "/xyz/openbmc_project/sensors/fan_tach/FAN1",
          "interfaces": { "xyz.openbmc_project.Sensor.Value": {
            "properties": { "Value": ["d", 3000.0] } } } },
        { "path": "/xyz/openbmc_project/sensors/fan_tach/FAN2",
          "interfaces": { "xyz.openbmc_project.Sensor.Value": {
            "properties": { "Value": ["d", 3100.0] } } } } ] },
    { "name": "xyz.openbmc_project.State.Host",
      "objects": [ { "path": "/xyz/openbmc_project/state/host0",
        "interfaces": { "xyz.openbmc_project.State.Host": { "properties": {
          "CurrentHostState":
            ["s", "xyz.openbmc_project.State.Host.HostState.Running"] } } } } ] },
    { "name": "xyz.openbmc_project.Settings",
      "objects": [
        { "path": "/xyz/openbmc_project/control/thermal",
          "interfaces": { "xyz.openbmc_project.Control.ThermalMode": {
            "properties": { "Current": ["s", "low-noise"] } } } },
        { "path": "/xyz/openbmc_project/control/host0/power_cap",
          "interfaces": { "xyz.openbmc_project.Control.Power.Cap": {
            "properties": { "PowerCap": ["u", 1000],
                            "PowerCapEnable": ["b", false] } } } } ] }
  ],
  "mapper": true
}
JSON
$run "$PLATFORMSIM" --config "$work/platform.json" >"$work/platform.log" 2>&1 &
pids+=($!)
wait_name local.platformsim || exit 1

cat >"$work/store.json" <<'JSON'
{ "buses": [ { "bus": 14, "card": true, "initStatus": 0,
  "controllers": [ { "id": 0, "model": "SimRAID", "serial": "SK0000",
    "firmware": "5.1", "enclosures": [252],
    "drives": [ { "deviceId": 8, "seqNum": 3, "slot": 0, "enclosureId": 252,
      "model": "ST4000NM0035", "serial": "ZC100", "blocks": 7814037168,
      "kind": 2, "interfaceType": 2 } ],
    "volumes": [ { "targetId": 0, "seqNum": 1, "name": "vd0", "raidLevel": 0,
      "drives": 1, "state": 3 } ] } ] } ] }
JSON
export STORESIM_CONFIG=$work/store.json STORESIM_LOG=$work/store.log
export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0
mkdir -p "$work/watt"

$run "$bin/vigilhub" >"$work/vigilhub.log" 2>&1 &
pids+=($!)
$run "$bin/wattkeeperd" -c "$work/watt" -i 1 >"$work/wattkeeperd.log" 2>&1 &
pids+=($!)
$run "$bin/nicscout" >"$work/nicscout.log" 2>&1 &
pids+=($!)
# The fan daemon's commands are stand-ins: nothing reaches the real ones.
mkdir -p "$work/stubs"
for c in systemctl log-util; do
    printf '#!/bin/sh\nexit 0\n' >"$work/stubs/$c"
    chmod 755 "$work/stubs/$c"
done
PATH=$work/stubs:$PATH $run "$bin/breezekeeperd" -f 1,2 \
    >"$work/breezekeeperd.log" 2>&1 &
pids+=($!)
# The storage library is a stand-in of the build tree, never installed.
LD_LIBRARY_PATH=$(dirname "$ARRAYSCOUT_I2CSIM") LD_PRELOAD=$ARRAYSCOUT_I2CSIM \
    $run "$bin/arrayscout" >"$work/arrayscout.log" 2>&1 &
pids+=($!)
for n in xyz.openbmc_project.vigilhub xyz.openbmc_project.wattkeeper \
    xyz.openbmc_project.NetworkAdapter xyz.openbmc_project.Raid; do
    wait_name "$n" || { tail -n 20 "$work"/*.log; exit 1; }
done
pass "every daemon took its name as root"

as_nobody() {
    setpriv --reuid=65534 --regid=65534 --clear-groups busctl --system "$@"
}
# A call as nobody that must fail with an access error.
refused() {
    local what=$1 out
    shift
    if out=$(as_nobody "$@" 2>&1); then
        fail "$what: allowed to nobody ($out)"
    elif [[ $out == *"ccess denied"* || $out == *AccessDenied* ||
        $out == *"ermission denied"* ]]; then
        pass "$what refused to nobody"
    else
        fail "$what: not an access error: $out"
    fi
}
allowed() {
    local what=$1 out
    shift
    if out=$(as_nobody "$@" 2>&1); then
        pass "$what allowed to nobody"
    else
        fail "$what refused to nobody: $out"
    fi
}
# Taking a name as nobody (busctl has no verb for it: a Python client).
own_refused() {
    local out
    out=$(setpriv --reuid=65534 --regid=65534 --clear-groups \
        /usr/bin/python3 -c '
import sys, dbus
bus = dbus.SystemBus()
try:
    bus.request_name(sys.argv[1], dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
    print("granted")
except dbus.exceptions.DBusException as e:
    print(e.get_dbus_name())
' "$1" 2>&1)
    if [[ $out == *AccessDenied* ]]; then
        pass "owning $1 refused to nobody"
    else
        fail "owning $1: $out"
    fi
}

vh=xyz.openbmc_project.vigilhub
wk=xyz.openbmc_project.wattkeeper
nic=xyz.openbmc_project.NetworkAdapter
raid=xyz.openbmc_project.Raid
status=xyz.openbmc_project.Status
led() {
    busctl --system get-property xyz.openbmc_project.LED.GroupManager \
        /xyz/openbmc_project/led/groups/system_fault \
        xyz.openbmc_project.Led.Group Asserted
}
flags() {
    local f
    for f in fan power disk; do
        busctl --system get-property $vh /xyz/openbmc_project/vigilhub/$f \
            $status Health
    done
}

for n in $vh $wk $nic $raid xyz.openbmc_project.Breezekeeper; do
    own_refused "$n"
done

# vigilhub
before_flags=$(flags)
before_led=$(led)
for f in fan power disk; do
    refused "vigilhub $f Health Set" set-property $vh \
        /xyz/openbmc_project/vigilhub/$f $status Health b false
done
# A spoofed change of the fan flag, as nobody and as root.
setpriv --reuid=65534 --regid=65534 --clear-groups busctl --system emit \
    /xyz/openbmc_project/vigilhub/fan org.freedesktop.DBus.Properties \
    PropertiesChanged 'sa{sv}as' $status 1 Health b false 0 ||
    fail "nobody could not emit a signal"
busctl --system emit /xyz/openbmc_project/vigilhub/fan \
    org.freedesktop.DBus.Properties PropertiesChanged 'sa{sv}as' \
    $status 1 Health b false 0 || fail "root could not emit a signal"
# Then a real change by root: once the LED follows it, the spoofed signals
# (sent before it) have been handled.
busctl --system set-property $vh /xyz/openbmc_project/vigilhub/power \
    $status Health b false
for ((i = 0; i < 200; i++)); do
    [[ $(led) == "b true" ]] && break
    sleep 0.05
done
busctl --system set-property $vh /xyz/openbmc_project/vigilhub/power \
    $status Health b true
for ((i = 0; i < 200; i++)); do
    [[ $(led) == "b false" ]] && break
    sleep 0.05
done
if [[ $(flags) == "$before_flags" && $(led) == "$before_led" &&
    $before_led == "b false" ]]; then
    pass "spoofed health signals changed neither the flags nor the LED"
else
    fail "spoofed signals: flags $(flags | tr '\n' ' '), LED $(led)"
fi
allowed "vigilhub GetManagedObjects" call $vh / \
    org.freedesktop.DBus.ObjectManager GetManagedObjects
allowed "vigilhub Health read" get-property $vh \
    /xyz/openbmc_project/vigilhub/fan $status Health

# Readers of the fan and power daemons take signals from their service's
# owner only. As nobody: a stopped fan and the host off; then a real change
# from the service: once the fan daemon has taken it, it had taken the
# spoofed signals (sent before it), and they changed nothing.
control() {
    busctl --system call local.platformsim /local/platformsim \
        local.platformsim.Control "$@" >/dev/null
}
changed() {
    setpriv --reuid=65534 --regid=65534 --clear-groups busctl --system emit \
        "$1" org.freedesktop.DBus.Properties PropertiesChanged 'sa{sv}as' \
        "$2" 1 "$3" "$4" "$5" 0 || fail "nobody could not emit a signal"
}
tach=/xyz/openbmc_project/sensors/fan_tach
for ((i = 0; i < 400; i++)); do
    grep -q 'Fan is added to be confirmed. id: 2' "$work/breezekeeperd.log" &&
        break
    sleep 0.05
done
changed $tach/FAN1 xyz.openbmc_project.Sensor.Value Value d 0
changed /xyz/openbmc_project/state/host0 xyz.openbmc_project.State.Host \
    CurrentHostState s xyz.openbmc_project.State.Host.HostState.Off
control SetProperty ssssv xyz.openbmc_project.FanSensor $tach/FAN2 \
    xyz.openbmc_project.Sensor.Value Value d 0
for ((i = 0; i < 400; i++)); do
    grep -q 'Fan state changed. id: 2' "$work/breezekeeperd.log" && break
    sleep 0.05
done
if ! grep -q 'Fan state changed. id: 2' "$work/breezekeeperd.log"; then
    fail "the fan daemon did not take a real change: $(tail -n 5 "$work/breezekeeperd.log")"
elif grep -qE 'Fan state changed. id: 1|Host state changed. Value: 1 -> 2' \
    "$work/breezekeeperd.log"; then
    fail "spoofed fan or host signals taken: $(grep -E 'changed' "$work/breezekeeperd.log")"
else
    pass "spoofed fan and host signals changed nothing"
fi

# wattkeeperd
wpath=$(busctl --system tree --list $wk 2>/dev/null | grep -v '^/$' | tail -n 1)
wiface=$(busctl --system introspect --list $wk "$wpath" 2>/dev/null |
    awk '$2 == "interface" && $1 !~ /^org\.freedesktop/ {print $1; exit}')
threshold=$(busctl --system introspect --list $wk "$wpath" "$wiface" |
    awk '$2 == "property" && $NF ~ /writable/ {print $1}' | head -n 1)
before=$(busctl --system get-property $wk "$wpath" "$wiface" "${threshold#.}")
refused "wattkeeperd ${threshold#.} Set" set-property $wk "$wpath" \
    "$wiface" "${threshold#.}" i 5
refused "wattkeeperd CleanPowerHistoryData" call $wk "$wpath" "$wiface" \
    CleanPowerHistoryData
[[ $(busctl --system get-property $wk "$wpath" "$wiface" "${threshold#.}") == "$before" ]] ||
    fail "wattkeeperd threshold changed"
# Its read methods are privileged in the service too.
refused "wattkeeperd GetStatSummary" call $wk "$wpath" "$wiface" GetStatSummary
allowed "wattkeeperd MaxPower read" get-property $wk "$wpath" "$wiface" MaxPower
# A real 260 W, sampled; then a spoofed 5000 W as nobody, and samples taken
# after it (the open window's average moves with each one of 260 W): the
# maximum stays 260 W.
watt() { busctl --system get-property $wk "$wpath" "$wiface" "$1"; }
control SetProperty ssssv xyz.openbmc_project.PSUSensor \
    /xyz/openbmc_project/sensors/power/total_power \
    xyz.openbmc_project.Sensor.Value Value d 260000
for ((i = 0; i < 400; i++)); do
    [[ $(watt MaxPower) == "d 260" ]] && break
    sleep 0.05
done
changed /xyz/openbmc_project/sensors/power/total_power \
    xyz.openbmc_project.Sensor.Value Value d 5000000
avg=$(watt AvgPower)
for ((i = 0; i < 400; i++)); do
    [[ $(watt AvgPower) != "$avg" ]] && break
    sleep 0.05
done
if [[ $(watt AvgPower) != "$avg" && $(watt MaxPower) == "d 260" ]]; then
    pass "a spoofed total power changed nothing"
else
    fail "spoofed total power: average $(watt AvgPower), maximum $(watt MaxPower)"
fi
allowed "wattkeeperd GetManagedObjects" call $wk / \
    org.freedesktop.DBus.ObjectManager GetManagedObjects

# nicscout
refused "nicscout AgentSynchronizeData" call $nic \
    /xyz/openbmc_project/NetworkAdapter xyz.openbmc_project.NetworkAdapter.Device \
    AgentSynchronizeData
allowed "nicscout GetManagedObjects" call $nic / \
    org.freedesktop.DBus.ObjectManager GetManagedObjects

# arrayscout
rpath=/xyz/openbmc_project/Raid
riface=xyz.openbmc_project.Raid.Device
for ((i = 0; i < 400; i++)); do
    busctl --system introspect --list $raid $rpath $riface 2>/dev/null |
        grep -q AddLD && break
    sleep 0.05
done
: >"$work/store.log"
refused "arrayscout LocatePD" call $raid $rpath $riface LocatePD iiii 0 0 8 10
refused "arrayscout StopLocatePD" call $raid $rpath $riface StopLocatePD iii 0 0 8
refused "arrayscout DeleteVolumes" call $raid $rpath $riface DeleteVolumes \
    iiiii 0 0 0 1 1
refused "arrayscout SetPDState" call $raid $rpath $riface SetPDState \
    iiiii 0 0 8 3 2
refused "arrayscout AddLD" call $raid $rpath $riface AddLD \
    iisaiiiiiii 0 0 vd1 1 8 6 0 0 0 0 0
refused "arrayscout AgentSynchronizeData" call $raid $rpath $riface \
    AgentSynchronizeData
if grep -qE 'LOCATE_PD|DELETE_LD|SET_PD_STATE|ADD_CONFIG|READ_CONFIG' "$work/store.log"; then
    fail "a refused call reached the storage library: $(cat "$work/store.log")"
fi
allowed "arrayscout GetManagedObjects" call $raid / \
    org.freedesktop.DBus.ObjectManager GetManagedObjects

for p in "${pids[@]:2}"; do
    kill -0 "$p" 2>/dev/null || fail "daemon $p ended"
done
echo "$failures failures"
[[ $failures -eq 0 ]]
