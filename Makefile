# Kelp NOVA: `make run` and `make test` are all a newcomer needs.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_TSAN ?= build-tsan
BUILD_BENCH?= build-bench
JOBS       ?= 2
BENCH      ?= .
CMAKE_GEN   = -G Ninja

.PHONY: all deps build run install screenshots test bench test-asan test-tsan clean format

# `make` alone only builds; run and the test targets install what is missing first.
all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

run: deps
	$(MAKE) build
	bash scripts/run.sh $(BUILD)

# The program in the desktop's launcher: binary, .desktop entry and icon under ~/.local.
PREFIX ?= $(HOME)/.local
install: build
	install -Dm755 $(BUILD)/kelp-nova $(PREFIX)/bin/kelp-nova
	install -Dm644 data/kelp-nova.desktop $(PREFIX)/share/applications/kelp-nova.desktop
	install -Dm644 data/kelp-nova.svg $(PREFIX)/share/icons/hicolor/scalable/apps/kelp-nova.svg
	-update-desktop-database $(PREFIX)/share/applications 2>/dev/null

# Pictures of fixed states, under Xvfb with a private JACK server, into $(BUILD)/screenshots/;
# the README's pictures are copied to docs/screenshots/.
screenshots: deps
	$(MAKE) build
	bash scripts/screenshots.sh $(BUILD) $(BUILD)/screenshots
	cp $(BUILD)/screenshots/twenty-takes.png $(BUILD)/screenshots/library.png $(BUILD)/screenshots/rig.png \
	  docs/screenshots/

test: deps
	$(MAKE) build
	bash scripts/run-tests.sh $(BUILD)

bench: deps
	cmake -S . -B $(BUILD_BENCH) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD_BENCH) -j $(JOBS) --target kelp_bench
	./$(BUILD_BENCH)/kelp_bench --benchmark_counters_tabular=true --benchmark_filter='$(BENCH)'

test-asan: deps
	cmake -S . -B $(BUILD_ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DKELP_SANITIZE=address
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	bash scripts/run-tests.sh $(BUILD_ASAN)

# The lock-free and threaded parts: rings, status, mailboxes, the engine's threads, the job queue.
test-tsan: deps
	cmake -S . -B $(BUILD_TSAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELP_SANITIZE=thread
	cmake --build $(BUILD_TSAN) -j $(JOBS)
	bash scripts/run-tests.sh $(BUILD_TSAN) -L 'core|audio|rig|app|e2e'
	bash scripts/run-tests.sh $(BUILD_TSAN) -R '^(JobsQueue|LibraryMerge|Log|TapeLoad|ImportStream|JsonMemory|FsysFault|MidiRing|Station[A-Za-z]*)\.'

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_TSAN) $(BUILD_BENCH)

format:
	find src tests bench tools -name '*.cpp' -o -name '*.h' | xargs clang-format -i
