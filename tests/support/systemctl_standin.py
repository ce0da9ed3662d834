#!/usr/bin/python3
# A stand-in for Debian 12's systemctl (systemd 252) for the commands the
# console runs, with the units in a JSON file beside it:
#
#   {"units": {"srv1cv8-8.3.24.1467@default.service":
#                  {"active": "active", "file": "enabled", "wanted_by": "multi-user.target",
#                   "fail": {"stop": "denied" | "job" | "hang" | "slow <seconds>"}}},
#    "templates": ["srv1cv8-8.3.24.1467@.service"],
#    "not_booted": false}
#
# A unit is in systemd's memory (list-units --all) when it is not inactive
# or a target wants it (an enabled instance, an enabled init script's
# generated unit); list-unit-files lists unit files, templates among them,
# and no instances (as 252 does for instances enabled through .wants links).
# Every call's argument vector is appended to calls.log beside the script.
# Outputs and messages are those of systemctl 252 (man systemctl, and the
# program's own texts).
import fnmatch
import json
import os
import sys
import time

here = os.path.dirname(os.path.abspath(__file__))
state_file = os.path.join(here, 'systemctl-units.json')
args = sys.argv[1:]
with open(os.path.join(here, 'calls.log'), 'a') as log:
    log.write(json.dumps(args) + '\n')
with open(state_file) as f:
    state = json.load(f)
units = state.setdefault('units', {})

if state.get('not_booted'):
    sys.stderr.write('System has not been booted with systemd as init system (PID 1). Can\'t operate.\n'
                     'Failed to connect to bus: Host is down\n')
    sys.exit(1)

verb = args[0] if args else 'list-units'
options = [a for a in args[1:] if a.startswith('-')]
names = args[args.index('--') + 1:] if '--' in args else [a for a in args[1:] if not a.startswith('-')]


def save():
    tmp = state_file + '.new'
    with open(tmp, 'w') as f:
        json.dump(state, f)
    os.replace(tmp, state_file)


def file_state(unit):
    return units[unit].get('file', 'disabled')


def in_memory(unit):
    u = units[unit]
    if u.get('active', 'inactive') != 'inactive':
        return True
    return file_state(unit) in ('enabled', 'enabled-runtime') or bool(u.get('wanted_by'))


def wanted_by(unit):
    u = units[unit]
    if 'wanted_by' in u:
        return u['wanted_by']
    return 'multi-user.target' if file_state(unit) in ('enabled', 'enabled-runtime') else ''


def matches(unit):
    return not names or any(fnmatch.fnmatchcase(unit, p) for p in names)


def sub_state(active):
    return {'active': 'running', 'activating': 'start', 'deactivating': 'stop',
            'failed': 'failed', 'reloading': 'reload'}.get(active, 'dead')


def table(rows):
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]) - 1)]
    for r in rows:
        print(' '.join(c.ljust(w) for c, w in zip(r, widths)) + ' ' + r[-1])


if verb == 'list-units':
    rows = []
    for unit in sorted(units):
        if matches(unit) and in_memory(unit):
            active = units[unit].get('active', 'inactive')
            rows.append([unit, 'loaded', active, sub_state(active), '1C:Enterprise ' + unit])
    if rows:
        table(rows)
elif verb == 'list-unit-files':
    rows = []
    files = [u for u in units if '@' not in u] + state.get('templates', [])
    for unit in sorted(set(files)):
        if matches(unit):
            rows.append([unit, file_state(unit) if unit in units else 'indirect', 'enabled'])
    if rows:
        table(rows)
elif verb == 'show':
    wanted = None
    for o in options:
        if o.startswith('--property='):
            wanted = o[len('--property='):].split(',')
    blocks = []
    for unit in names:
        if unit in units:
            u = units[unit]
            # systemd's own order of the properties, not the order asked.
            props = [('Id', unit), ('WantedBy', wanted_by(unit)), ('LoadState', 'loaded'),
                     ('ActiveState', u.get('active', 'inactive')), ('UnitFileState', file_state(unit))]
        else:
            props = [('Id', unit), ('LoadState', 'not-found'), ('ActiveState', 'inactive')]
        blocks.append('\n'.join('%s=%s' % (k, v) for k, v in props if v and (wanted is None or k in wanted)))
    print('\n\n'.join(blocks))
elif verb in ('start', 'stop'):
    code = 0
    for unit in names:
        if unit not in units:
            sys.stderr.write('Failed to %s %s: Unit %s %s.\n' % (verb, unit, unit, 'not found' if verb == 'start' else 'not loaded'))
            code = 5
            continue
        how = units[unit].get('fail', {}).get(verb)
        if how == 'hang':
            time.sleep(3600)
        if how and how.startswith('slow '):
            time.sleep(float(how[5:]))
        if how == 'denied':
            sys.stderr.write('Failed to %s %s: Interactive authentication required.\n'
                             "See system logs and 'systemctl status %s' for details.\n" % (verb, unit, unit))
            code = 1
            continue
        if how == 'job':
            units[unit]['active'] = 'failed'
            save()
            sys.stderr.write('Job for %s failed because the control process exited with error code.\n'
                             'See "systemctl status %s" and "journalctl -xeu %s" for details.\n' % (unit, unit, unit))
            code = 1
            continue
        units[unit]['active'] = 'active' if verb == 'start' else 'inactive'
        save()
    sys.exit(code)
else:
    sys.stderr.write('Unknown command verb %s.\n' % verb)
    sys.exit(1)
