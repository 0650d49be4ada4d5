// This path's kernel table, compiled once per path like the kernels.
#include "isa/kernel_table.hpp"

#define VELT_ISA_STRING2(x) #x
#define VELT_ISA_STRING(x) VELT_ISA_STRING2(x)

namespace velt::VELT_ISA_NS {

extern const isa::kernel_table table;
const isa::kernel_table table = {VELT_ISA_STRING(VELT_ISA_NAME),
#define VELT_ISA_ENTRY(f) &f,
                                 VELT_ISA_KERNELS(VELT_ISA_ENTRY)
#undef VELT_ISA_ENTRY
};

}  // namespace velt::VELT_ISA_NS
