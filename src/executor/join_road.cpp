#include "executor/join_road.h"

namespace zembrel::executor {

Result<JoinSource> build_join_source(Engine&, const parser::SelectStatement&, std::span<const BoundTable>) {
    return execution_error("JOIN is not supported yet");
}

}  // namespace zembrel::executor
