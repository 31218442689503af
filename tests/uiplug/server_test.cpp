// The DLL as a COM server: its exports, the class factory and the unload test.
#include <gtest/gtest.h>

#include "uiplug_host.h"

namespace uiplug_test {
namespace {

class server : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(dll_.module(), nullptr) << GetLastError(); }
    loaded_dll dll_;
};

TEST_F(server, exports_sit_at_their_ordinals) {
    EXPECT_EQ(GetProcAddress(dll_.module(), MAKEINTRESOURCEA(1)),
              GetProcAddress(dll_.module(), "DllCanUnloadNow"));
    EXPECT_EQ(GetProcAddress(dll_.module(), MAKEINTRESOURCEA(2)),
              GetProcAddress(dll_.module(), "DllGetClassObject"));
    EXPECT_NE(GetProcAddress(dll_.module(), "DllGetClassObject"), nullptr);
}

TEST_F(server, serves_only_its_class_and_the_factory_interfaces) {
    struct row {
        const char* name;
        GUID clsid;
        GUID iid;
        HRESULT result;
    };
    const GUID other_class = {
        0xABCE80D7, 0x9F46, 0x11D1, {0x88, 0x2A, 0x00, 0xC0, 0x4F, 0xB9, 0x61, 0xED}};
    const row rows[] = {
        {"other class", other_class, uiplug::kIidClassFactory, CLASS_E_CLASSNOTAVAILABLE},
        {"plug-in interface asked of the factory", uiplug::kClsidPlugin, uiplug::kIidOemUi,
         E_NOINTERFACE},
        {"IUnknown", uiplug::kClsidPlugin, uiplug::kIidUnknown, S_OK},
        {"IClassFactory", uiplug::kClsidPlugin, uiplug::kIidClassFactory, S_OK},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        void* sentinel = reinterpret_cast<void*>(0x1234);
        void* out = sentinel;
        EXPECT_EQ(dll_.get_class_object(r.clsid, r.iid, &out), r.result);
        if (r.result == CLASS_E_CLASSNOTAVAILABLE) {
            EXPECT_EQ(out, sentinel);
        } else if (r.result == E_NOINTERFACE) {
            EXPECT_EQ(out, nullptr);
        } else {
            ASSERT_NE(out, nullptr);
            // The caller's reference is the only one left.
            EXPECT_EQ(static_cast<IUnknown*>(out)->Release(), 0u);
        }
        EXPECT_EQ(dll_.can_unload_now(), S_OK);
    }
}

TEST_F(server, create_instance_refuses_aggregation_and_foreign_interfaces) {
    const com_ptr<IClassFactory> factory = dll_.factory();
    ASSERT_TRUE(factory);
    struct row {
        const char* name;
        bool outer;
        GUID iid;
        HRESULT result;
    };
    const row rows[] = {
        {"aggregation", true, uiplug::kIidOemUi, CLASS_E_NOAGGREGATION},
        {"IClassFactory", false, uiplug::kIidClassFactory, E_NOINTERFACE},
        {"driver interface", false, uiplug::kIidOemDriverUi, E_NOINTERFACE},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        void* out = reinterpret_cast<void*>(0x1234);
        IUnknown* outer = r.outer ? reinterpret_cast<IUnknown*>(factory.get()) : nullptr;
        EXPECT_EQ(factory->CreateInstance(outer, r.iid, &out), r.result);
        if (r.result == E_NOINTERFACE) {
            EXPECT_EQ(out, nullptr);
        }
    }
    // The refused objects are gone again.
    EXPECT_EQ(dll_.can_unload_now(), S_OK);
}

TEST_F(server, lock_and_live_objects_hold_the_module) {
    {
        const com_ptr<IClassFactory> factory = dll_.factory();
        ASSERT_TRUE(factory);
        EXPECT_EQ(dll_.can_unload_now(), S_OK) << "a factory alone holds nothing";

        EXPECT_EQ(factory->LockServer(TRUE), S_OK);
        EXPECT_EQ(dll_.can_unload_now(), S_FALSE);
        EXPECT_EQ(factory->LockServer(FALSE), S_OK);
        EXPECT_EQ(dll_.can_unload_now(), S_OK);
    }
    com_ptr<uiplug::oem_ui_interface> first = dll_.create_plugin();
    com_ptr<uiplug::oem_ui_interface> second = dll_.create_plugin();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(dll_.can_unload_now(), S_FALSE);
    first.reset();
    EXPECT_EQ(dll_.can_unload_now(), S_FALSE);
    second.reset();
    EXPECT_EQ(dll_.can_unload_now(), S_OK);
}

TEST_F(server, reference_counts_follow_addref_and_release) {
    const com_ptr<uiplug::oem_ui_interface> plugin = dll_.create_plugin();
    ASSERT_TRUE(plugin);
    EXPECT_EQ(plugin->AddRef(), 2u);
    IUnknown* unknown = nullptr;
    ASSERT_EQ(plugin->QueryInterface(uiplug::kIidUnknown, reinterpret_cast<void**>(&unknown)),
              S_OK);
    EXPECT_EQ(unknown, static_cast<IUnknown*>(plugin.get()));
    EXPECT_EQ(unknown->Release(), 2u);
    EXPECT_EQ(plugin->Release(), 1u);

    void* out = reinterpret_cast<void*>(0x1234);
    EXPECT_EQ(plugin->QueryInterface(uiplug::kIidClassFactory, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
}

}  // namespace
}  // namespace uiplug_test
