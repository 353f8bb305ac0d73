{{ config(tags=['finance'], meta={'velk': {'lookback': 30}}) }}

-- Declares a lookback but no event_time: not a microbatch model, so the
-- setting has no effect (the plan warns about it).
select order_id, 'organic' as channel
from {{ ref('stg_orders') }}
