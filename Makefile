# The two entry points are `make demo` and `make test`; each does all of its own set-up.
PYTHON ?= python3
VENV := .venv
PY := $(VENV)/bin/python
DEPS := $(VENV)/.deps-installed
SOURCES := CMakeLists.txt pyproject.toml tintmill.cpp $(wildcard module/*.?pp preparation/*.?pp \
           clustering/*.?pp clustering/*/*.?pp extraction/*.?pp matching/*.?pp \
           package/vantrel_huesift/*.py \
           package/vantrel_huesift/report_assets/*)
CORE_TEST_SOURCES := $(wildcard tests/cpp/*/*.cpp tests/cpp/*/*/*.cpp)
PIP_BUILD := $(PY) -m pip install --no-build-isolation --no-deps --upgrade --quiet
PYTEST_ARGS ?=

.PHONY: demo test build build-full build-cpu test-cpp test-full test-cpu test-asan test-installed \
	coverage bench format clean

$(DEPS): pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet "scikit-build-core>=0.10" "numpy>=2.0" opencv-python-headless \
		scikit-learn matplotlib pillow tqdm "msgspec>=0.18" "tinycss2>=1.3" pytest hypothesis psutil \
		mypy "dask[distributed]"
	touch $@

# Each profile is built through the package's own build backend into its own folder. The full
# profile's build also links the cores' C++ tests against the cores it compiled.
build/site-full/.built: $(DEPS) $(SOURCES) $(CORE_TEST_SOURCES)
	$(PIP_BUILD) --target build/site-full -C build-dir=build/cmake-full \
		-C cmake.define.HUESIFT_CPU_ONLY=OFF -C cmake.define.HUESIFT_CORE_TESTS=ON .
	touch $@

build/site-cpu/.built: $(DEPS) $(SOURCES)
	$(PIP_BUILD) --target build/site-cpu -C build-dir=build/cmake-cpu \
		-C cmake.define.HUESIFT_CPU_ONLY=ON .
	touch $@

# ASAN_CORE_TESTS=ON builds and runs the cores' C++ tests under the sanitizers too (half a
# minute more; CI leaves it off, as the suite runs every core under them anyway).
ASAN_CORE_TESTS ?= OFF
build/site-asan/.built-$(ASAN_CORE_TESTS): $(DEPS) $(SOURCES) $(CORE_TEST_SOURCES)
	$(PIP_BUILD) --target build/site-asan -C build-dir=build/cmake-asan \
		-C cmake.define.HUESIFT_CPU_ONLY=OFF -C cmake.define.HUESIFT_SANITIZE=address,undefined \
		-C cmake.define.HUESIFT_CORE_TESTS=$(ASAN_CORE_TESTS) .
	rm -f build/site-asan/.built-* && touch $@

build-full: build/site-full/.built
build-cpu: build/site-cpu/.built
build: build-full build-cpu

# The cores' own tests (tests/cpp, GoogleTest) of the build in $(1), with the environment $(2),
# when GoogleTest was there to build them.
run_core_tests = @if [ -x $(1)/huesift_core_tests ]; then $(2) $(1)/huesift_core_tests --gtest_brief=1; \
	else echo "C++ tests of the cores skipped: GoogleTest was not found when $(1) was configured" \
	"(apt-get install libgtest-dev)"; fi

test-cpp: build-full
	$(call run_core_tests,build/cmake-full)

# The engine's tests: all but the package layer, which is the same Python over either build.
ENGINE_TESTS := tests/module tests/preparation tests/clustering tests/extraction tests/matching \
	$(wildcard tests/test_*.py)
# The CPU-only profile differs from the full one in the engine alone (no GPU names, four-field
# state): its engine tests, and the stubs' check of the names it has.
CPU_TESTS ?= $(ENGINE_TESTS) tests/package/test_stubs.py
# Under the sanitizers: the engine's tests, and the batch tests whose workers run the engine
# after a fork. The package layer's other tests (kills, resume, the command line, the report) run
# Python over the same engine calls, and cost most of a sanitized run's time.
ASAN_TESTS ?= $(ENGINE_TESTS) \
	tests/package/test_batch.py::test_batch_function_equals_command_line_and_stays_bounded \
	tests/package/test_batch.py::test_a_dead_worker_costs_only_its_image \
	tests/package/test_batch.py::test_workers_are_forked_from_a_server_with_one_thread

test-full: build-full
	MPLBACKEND=Agg PYTHONPATH=build/site-full $(PY) -m pytest -q $(PYTEST_ARGS)

test-cpu: build-cpu
	MPLBACKEND=Agg PYTHONPATH=build/site-cpu $(PY) -m pytest -q $(PYTEST_ARGS) $(CPU_TESTS)

test: test-cpp test-full test-cpu

# ASAN_TESTS against a build with AddressSanitizer and UBSan, the runtimes preloaded.
SANITIZER_LIBS = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libubsan.so)
test-asan: build/site-asan/.built-$(ASAN_CORE_TESTS)
	$(if $(filter ON,$(ASAN_CORE_TESTS)),$(call run_core_tests,build/cmake-asan,\
		ASAN_OPTIONS=halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1))
	MPLBACKEND=Agg PYTHONPATH=build/site-asan PYTHONMALLOC=malloc HUESIFT_SKIP_WHEEL=1 HUESIFT_SANITIZED=1 \
	ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:allocator_may_return_null=1 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
	LD_PRELOAD="$(SANITIZER_LIBS)" $(PY) -m pytest -q $(PYTEST_ARGS) $(ASAN_TESTS)

# The package as users install it: plain pip from the sdist into a fresh venv of the oldest
# and of the newest Python it claims, then the tests that depend on the libraries' versions
# against that installed copy (run from build/, so the checkout's package is not imported).
INSTALLED_PYTHONS ?= 3.9 3.13
INSTALLED_TESTS := tests/clustering/test_kmeans.py tests/clustering/test_dbscan.py \
	tests/preparation tests/matching tests/package/test_cli.py::test_extract_json_and_chart \
	tests/package/test_cli.py::test_match_reports tests/package/test_parsers.py \
	tests/package/test_images.py tests/package/test_report.py::test_report_shows_any_json_lines \
	tests/package/test_stubs.py::test_readme_examples_type_check
test-installed: $(DEPS)
	@start=$$(date +%s); set -e; rm -rf build/dist; \
	$(PY) -c "from scikit_build_core.build import build_sdist; build_sdist('build/dist')" >/dev/null; \
	sdist=$$(ls $(CURDIR)/build/dist/*.tar.gz); \
	for v in $(INSTALLED_PYTHONS); do \
		py=""; \
		for candidate in python$$v $$HOME/.pyenv/versions/$$v*/bin/python$$v; do \
			if $$candidate -c "" >/dev/null 2>&1; then py=$$candidate; break; fi; \
		done; \
		if [ -z "$$py" ]; then \
			echo "test-installed: no Python $$v on this machine (pyenv install $$v)" >&2; exit 1; \
		fi; \
		venv=build/venv-$$v; \
		if [ ! -x $$venv/bin/python ]; then \
			$$py -m venv $$venv; $$venv/bin/python -m pip install --quiet --upgrade pip; \
			$$venv/bin/python -m pip install --quiet "$$sdist[test]"; \
		else \
			$$venv/bin/python -m pip install --quiet "$$sdist[test]"; \
			$$venv/bin/python -m pip install --quiet --force-reinstall --no-deps "$$sdist"; \
		fi; \
		echo "== Python $$v: $$($$venv/bin/python -c 'import numpy, sklearn, cv2; print("numpy", numpy.__version__, "scikit-learn", sklearn.__version__, "OpenCV", cv2.__version__)')"; \
		(cd build && MPLBACKEND=Agg $(CURDIR)/$$venv/bin/python -m pytest -q -p no:randomly \
			-c $(CURDIR)/pyproject.toml --rootdir $(CURDIR) \
			$(addprefix $(CURDIR)/,$(INSTALLED_TESTS))); \
	done; \
	echo "test-installed: $$(( $$(date +%s) - start )) s for Python $(INSTALLED_PYTHONS)"

# Line coverage of clustering/ from an unoptimised build with gcov: the C++ tests alone, then
# with the Python tests of COVERAGE_TESTS; the reports are in build/coverage.
COVERAGE_TESTS ?= tests/clustering tests/test_threads.py
LCOV := lcov --quiet --rc lcov_branch_coverage=0
coverage: $(DEPS)
	$(PIP_BUILD) --target build/site-cov -C build-dir=build/cmake-cov \
		-C cmake.define.HUESIFT_CPU_ONLY=OFF -C cmake.define.HUESIFT_CORE_TESTS=ON \
		-C cmake.define.HUESIFT_COVERAGE=ON .
	rm -rf build/coverage && mkdir -p build/coverage
	$(LCOV) --zerocounters --directory build/cmake-cov
	build/cmake-cov/huesift_core_tests --gtest_brief=1
	$(LCOV) --capture --directory build/cmake-cov --output-file build/coverage/cpp.info
	MPLBACKEND=Agg PYTHONPATH=build/site-cov $(PY) -m pytest -q -p no:randomly $(COVERAGE_TESTS)
	$(LCOV) --capture --directory build/cmake-cov --output-file build/coverage/all.info
	@for run in cpp all; do \
		$(LCOV) --extract build/coverage/$$run.info '$(CURDIR)/clustering/*' \
			--output-file build/coverage/$$run-clustering.info; \
		echo "== clustering/, line coverage, $$([ $$run = cpp ] && echo 'C++ tests' || \
			echo 'C++ tests and $(COVERAGE_TESTS)'):"; \
		lcov --list build/coverage/$$run-clustering.info | sed 's|$(CURDIR)/||'; \
	done

demo: build-full
	PYTHONPATH=build/site-full $(PY) -m vantrel_huesift.demo

# scikit-image only for its bundled photos, part of the benchmark corpus.
bench: build-full
	$(PY) -m pip install --quiet scikit-image
	PYTHONPATH=build/site-full $(PY) bench/run.py $(BENCH)

clean:
	rm -rf build

# The C++ sources in the house style (.clang-format).
format: $(DEPS)
	$(PY) -m pip install --quiet clang-format
	$(VENV)/bin/clang-format -i $$(git ls-files '*.cpp' '*.hpp')
