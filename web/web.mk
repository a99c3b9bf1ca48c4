# The web page (make web): the battle, the tone synthesis and the assembler
# built to WebAssembly with Emscripten, and the page's static files, into
# $(WEB_BUILD). Included by the top Makefile.
WEB_BUILD ?= build-web
# Debian's Emscripten runs its JavaScript tools with the machine's node,
# which looks for Debian's node modules only when told.
WEB_ENV = NODE_PATH=/usr/share/nodejs
EMCC = $(WEB_ENV) emcc
TONEWELL_VERSION := $(shell grep -o -m1 'Tonewell VERSION [0-9.]*' CMakeLists.txt | cut -d' ' -f3)

# The same sources the console program builds, as far as the page needs
# them: no audio/, platform/ or sound/ (the page's sound goes out through
# its audio worklet).
WEB_SOURCES = \
  core/Extended80.cpp core/ToneReference.cpp core/ToneSynthesis.cpp core/ToneKernelPortable.cpp \
  core/ToneKernelAvx2.cpp \
  core/unit_core_execute_quillmar.cpp core/unit_core_utils.cpp core/unit_core_program_utils.cpp \
  core/unit_random_warrior_position_generator.cpp \
  runtime/Exceptions.cpp runtime/IntText.cpp runtime/FileRead_posix.cpp runtime/FileReadWait.cpp \
  asm/Assembler.cpp asm/Encoder.cpp asm/Expander.cpp asm/Expression.cpp asm/Lexer.cpp \
  asm/SourceError.cpp asm/SourceText.cpp asm/Symbols.cpp asm/Token.cpp \
  driver/BattleLoop.cpp driver/BattleFeed.cpp driver/WarriorReader.cpp driver/RunText.cpp \
  driver/WarriorName.cpp view/FrameText.cpp \
  web/BattleStream.cpp web/Exports_wasm.cpp
WEB_OBJECTS = $(patsubst %.cpp,$(WEB_BUILD)-obj/%.o,$(WEB_SOURCES))
# The tone kernel rounds every operation as written (its error bound counts
# each rounding); 128-bit vectors carry its two double lanes.
WEB_CXXFLAGS = -std=c++20 -O3 -msimd128 -ffp-contract=off -fwasm-exceptions -Wall -Wextra -Werror \
  -I. -DTONEWELL_VERSION=\"$(TONEWELL_VERSION)\" -MMD -MP
# No JavaScript glue: the page compiles the module, the worklet instantiates
# it; its only imports are two system calls the worklet answers.
WEB_LDFLAGS = -O3 -fwasm-exceptions -sSTANDALONE_WASM --no-entry -sALLOW_MEMORY_GROWTH=1
WEB_STATIC = $(wildcard web/page/*)
WEB_EXAMPLES = $(wildcard examples/*.red examples/source/*.red)

.PHONY: web serve-web web-deps

web-deps:
	@bash tools/install-deps.sh emscripten nodejs

web: web-deps $(WEB_BUILD)/tonewell.wasm $(WEB_BUILD)/examples.js
	cp $(WEB_STATIC) $(WEB_BUILD)/
	@echo "web page in $(WEB_BUILD)/ (make serve-web serves it)"

$(WEB_BUILD)-obj/%.o: %.cpp
	@mkdir -p $(dir $@)
	$(EMCC) $(WEB_CXXFLAGS) -c $< -o $@

$(WEB_BUILD)/tonewell.wasm: $(WEB_OBJECTS)
	$(EMCC) $(WEB_LDFLAGS) $(WEB_OBJECTS) -o $@

# The bundled warriors, for the page's pickers.
$(WEB_BUILD)/examples.js: $(WEB_EXAMPLES) web/bundle_examples.py
	@mkdir -p $(WEB_BUILD)
	python3 web/bundle_examples.py $(WEB_EXAMPLES) > $@

WEB_PORT ?= 8000
serve-web: web
	@echo "serving http://127.0.0.1:$(WEB_PORT)/"
	cd $(WEB_BUILD) && python3 -m http.server $(WEB_PORT) --bind 127.0.0.1

-include $(WEB_OBJECTS:.o=.d)
