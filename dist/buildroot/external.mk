include $(BR2_EXTERNAL_VELMORA_PATH)/velmorad.mk
