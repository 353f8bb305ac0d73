{{ config(event_time='order_date', tags=['rolling'], meta={'velk': {'lookback': 6}}) }}

-- A trailing seven-day window: each day reads the six days before it.
select order_date,
       sum(revenue) over (order by order_date rows between 6 preceding and current row) as revenue_7d
from {{ ref('orders_daily') }}
