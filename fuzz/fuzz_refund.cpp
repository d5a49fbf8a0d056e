// A refund report page on any bytes (no order cache): it answers or raises our error for an amount that is no
// number, and every record it keeps is a successful refund.
#include "foundation/qerror.h"
#include "foundation/textutil.h"
#include "taobao/ReadRefoundOrderJSON.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize)
{
    TReadRefoundOrderJSON reader(QString::fromUtf8(reinterpret_cast<const char*>(AData), qsizetype(ASize)));
    std::vector<TWeiQuanOrderInfo> orders;
    try {
        (void)reader.ReadOrders(orders);
    } catch (const EQuenlarError&) {
        return 0;
    }
    for (const TWeiQuanOrderInfo& order : orders) {
        if (Trim(order.showRefundStatus) != QStringView(u"维权成功"))
            std::abort();
    }
    return 0;
}
