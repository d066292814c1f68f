# Thin wrapper: both targets install missing packages, configure and build first.
.PHONY: demo test deps

deps:
	@bash tools/deps.sh

demo: deps
	@bash tools/demo.sh

test: deps
	@bash tools/test.sh
