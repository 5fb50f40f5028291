// The processor check that runs first when the module is imported.
#pragma once

namespace kavrel::py {

// Raises ImportError (as a PyError) unless the processor has AVX, AVX2 and FMA
// and the operating system saves the 256-bit registers. The engine is built
// for these instructions without any other code path; this check is written
// so that it runs without them, and must run before any call into the engine.
void require_vector_instructions();

}  // namespace kavrel::py
