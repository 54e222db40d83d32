#!/usr/bin/env python3
"""The application's own figures, printed: time from start to the first result, resident memory after
start beside a plain Qt widgets program, and the idle cost (processor seconds and wake-ups of the
process) over 60 s with 10 modules on long intervals.

    scripts/xvfb-run-desktop python3 bench/app_startup.py [build folder] [--idle-seconds N]

Needs an X display with a tray (the harness gives one) and a build with the benchmarks
(qv_bench_app_setup, qv_bench_plain_qt) and quorvane-dashboard. Each run gets a fresh home.
"""
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 and not sys.argv[1].startswith('--') else 'build')
idle_seconds = 60
if '--idle-seconds' in sys.argv:
    idle_seconds = int(sys.argv[sys.argv.index('--idle-seconds') + 1])
program = os.path.join(build, 'app', 'quorvane-dashboard')
setup = os.path.join(build, 'bench', 'qv_bench_app_setup')
plain = os.path.join(build, 'bench', 'qv_bench_plain_qt')
resources = os.path.join(build, 'resources')
clock_ticks = os.sysconf('SC_CLK_TCK')


def fresh_home():
    home = tempfile.mkdtemp(prefix='qv-bench-app-')
    environment = dict(os.environ)
    for name in ('data', 'config', 'cache', 'runtime'):
        os.makedirs(os.path.join(home, name), mode=0o700)
    environment.update(XDG_DATA_HOME=os.path.join(home, 'data'), XDG_CONFIG_HOME=os.path.join(home, 'config'),
                       XDG_CACHE_HOME=os.path.join(home, 'cache'), XDG_RUNTIME_DIR=os.path.join(home, 'runtime'))
    return home, environment


def first_success(home):
    try:
        with open(os.path.join(home, 'data', 'com.quorvane.dashboard', 'output.json')) as f:
            groups = json.load(f)
    except (OSError, ValueError):
        return False
    return any(m.get('success') is True for g in groups for m in g.get('modules', []))


def resident_kib(pid):
    with open(f'/proc/{pid}/status') as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return 0


def cpu_seconds(pid):
    with open(f'/proc/{pid}/stat') as f:
        fields = f.read().rsplit(')', 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / clock_ticks


def wakeups(pid):
    """Context switches of every thread of the process: each is a wake-up or a preemption."""
    total = 0
    for task in os.listdir(f'/proc/{pid}/task'):
        try:
            with open(f'/proc/{pid}/task/{task}/status') as f:
                for line in f:
                    if line.startswith(('voluntary_ctxt_switches', 'nonvoluntary_ctxt_switches')):
                        total += int(line.split()[1])
        except OSError:
            pass
    return total


def stop(process):
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def module_run_time():
    """The built-in Clock module's own run time on bare Node.js, for comparison."""
    node = os.path.join(resources, 'node', 'node')
    script = os.path.join(resources, 'Modules', 'Clock.quorvanemodule', 'main.js')
    with tempfile.NamedTemporaryFile('w', suffix='.json') as arguments:
        arguments.write('{}')
        arguments.flush()
        runs = []
        for _ in range(5):
            started = time.monotonic()
            subprocess.run([node, script, '--arguments', arguments.name], check=True, stdout=subprocess.DEVNULL)
            runs.append(time.monotonic() - started)
    return sorted(runs)[len(runs) // 2]


# 1. A first start with a fresh home: the default data is imported and its modules run.
home, environment = fresh_home()
started = time.monotonic()
process = subprocess.Popen([program], env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
while not first_success(home) and time.monotonic() - started < 30:
    time.sleep(0.005)
first_result = time.monotonic() - started
time.sleep(max(0.0, 5 - first_result))
app_rss = resident_kib(process.pid)
stop(process)
shutil.rmtree(home, ignore_errors=True)

# 2. The yardstick: a plain Qt widgets program with a window and a tray icon.
baseline = subprocess.Popen([plain], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
time.sleep(5)
plain_rss = resident_kib(baseline.pid)
stop(baseline)

# 3. Idle: 10 modules on an interval of an hour; measured after their first runs are over.
home, environment = fresh_home()
subprocess.run([setup, resources, '10', '3600'], env=environment, check=True, stdout=subprocess.DEVNULL,
               stderr=subprocess.DEVNULL)
process = subprocess.Popen([program], env=environment, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
time.sleep(10)
cpu_before, wake_before = cpu_seconds(process.pid), wakeups(process.pid)
time.sleep(idle_seconds)
cpu_after, wake_after = cpu_seconds(process.pid), wakeups(process.pid)
threads = len(os.listdir(f'/proc/{process.pid}/task'))
stop(process)
shutil.rmtree(home, ignore_errors=True)

module_time = module_run_time()
print(f'start to first result:        {first_result * 1000:7.0f} ms '
      f'(the Clock module alone on Node.js: {module_time * 1000:.0f} ms)')
print(f'resident memory after start:  {app_rss / 1024:7.1f} MiB '
      f'(plain Qt widgets program: {plain_rss / 1024:.1f} MiB, difference {(app_rss - plain_rss) / 1024:+.1f} MiB)')
print(f'idle over {idle_seconds} s, 10 modules:   {cpu_after - cpu_before:7.2f} s processor time, '
      f'{wake_after - wake_before} wake-ups ({threads} threads)')
